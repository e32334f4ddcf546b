#pragma once
// What a masked recording keeps of an exchange: of each reply only what the
// program uses of it (the length of a record write's or firmware block's
// reply, whose bytes are never inspected; a record reply's value unless it
// is the account ID or the PIN; a flash read as read, the header flagging
// it private), the account ID and PIN written replaced by placeholders of
// the same length, and every later occurrence of a value masked once
// replaced as well, wherever a late reply carries it.

#include <QByteArray>
#include <vector>

#include "device/RecordingFormat.h"

namespace recording {

class Masker {
public:
    void mask(Exchange &exchange);

private:
    void remember(const QByteArray &bytes, int at, int length);
    bool maskKnownValues(QByteArray &bytes, int from) const;

    std::vector<QByteArray> values_; // masked so far, searched for in later exchanges
};

} // namespace recording
