#pragma once
// Files that hold the user's data (the flash dump with its records, the saved
// diagnostic log, a session recording) are written atomically and are
// readable by their owner only.
//
// Only a regular file or a name not yet taken is written. Anything else the
// user names (a FIFO, a device node such as /dev/null, a folder, a socket) is
// refused with what it is, and so is a symbolic link, whatever it points to:
// the atomic write would replace the link's target, which may be a file of
// someone else or a device node. Folders on the way may be links.
//
// The folder is opened once and everything after happens relative to it: the
// name is checked without following a link, the temporary file is created in
// that folder, and the commit renames it over the name, which replaces a link
// swapped in meanwhile rather than following it. Nothing outside the named
// folder is ever touched.

#include <QByteArray>
#include <QString>
#include <memory>

// Why nothing may be written at `path`, as a clause for "cannot be created:
// ..."; empty when a private file may be written there.
QString privateFileRefusal(const QString &path);

class PrivateFile {
public:
    explicit PrivateFile(QString path);
    ~PrivateFile(); // a file not committed is discarded
    PrivateFile(const PrivateFile &) = delete;
    PrivateFile &operator=(const PrivateFile &) = delete;

    // Checks the name and creates the temporary file (mode 0600, whatever
    // mode an existing file of that name has); on failure `error` says why.
    bool open(QString *error);
    bool isOpen() const;
    // False when not everything was written; errorString() says why.
    bool write(const QByteArray &bytes);
    // Puts the written file in place of the name; errorString() says why not.
    bool commit();
    void cancel();

    QString fileName() const;
    QString errorString() const;

private:
    struct Parts;
    QString path_;
    QString error_;
    std::unique_ptr<Parts> parts_;
};

// Whether a private file can be written at `path` (else why not, in `reason`):
// the checks and the temporary file of PrivateFile::open, made before a long
// job so that it fails before the work rather than after. Leaves neither a new
// file nor a change to an existing one behind.
bool canWritePrivately(const QString &path, QString *reason);
