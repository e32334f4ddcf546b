#pragma once
// The folder for the program's lock files: absolute, created with mode 0700,
// and used only when it is a real folder (not a link) of this user that no one
// else can write into. Never the working directory: programs started from
// different folders must meet at the same locks, and no one else may plant or
// pre-create a lock there.
//
// Tried in this order: $XDG_RUNTIME_DIR/corvane (the runtime folder itself
// created 0700 when it is named but missing), <temporary folder>/corvane-<uid>,
// $HOME/.cache/corvane-locks. A candidate that someone else made first (or
// made writable for others) is passed over.

#include <QString>

// The folder's absolute path; empty, with the reason in `error`, when no
// candidate can be made private.
QString privateRuntimeFolder(QString *error);
