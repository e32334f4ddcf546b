#pragma once

#include <QString>
#include <QStringList>

// Keeps the most recent debug lines in memory (besides printing them as
// usual) so that the user can save them for a support request.
namespace MessageLog {

constexpr int kMaxLines = 5000;

void install();
QStringList lines();
void clear();
// Writes the kept lines to `path`; returns false (with `error` set) on failure.
bool saveTo(const QString &path, QString *error);

} // namespace MessageLog
