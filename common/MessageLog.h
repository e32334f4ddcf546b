#pragma once

#include <QString>
#include <QStringList>

// Keeps the most recent debug lines in memory (besides printing them as
// usual) so that the user can save them for a support request. The message
// boxes the user was shown are kept too, though they never reach the console.
namespace MessageLog {

constexpr int kMaxLines = 5000;

// Starts keeping lines. The window adds the message boxes it shows (see
// watchMessageBoxes).
void install();
// The kept lines as they were logged, each with its time.
QStringList lines();
void clear();
// Keeps "message box: <title>: <text>".
void noteMessageBox(const QString &title, const QString &text);
// The text a saved log holds: `header`, a blank line, then the kept lines
// with private values masked.
QByteArray savedText(const QString &header);
// Writes savedText(header) to `path`; returns false (with `error` set) on failure.
bool saveTo(const QString &path, QString *error, const QString &header = QString());
// Program and Qt version, the Qt platform plugin, system, the given accessory description and the
// current time, one "Key: value" line each.
QString header(const QString &accessory, const QString &platform);

} // namespace MessageLog
