#pragma once

#include <QString>

namespace accessory {

// The unpacked portable folder the program runs from (its executables one
// folder down, beside nothing of the system), or an empty string for a
// package or a build.
QString portableFolder();

// Why an accessory that was found could not be opened, and what to do: the
// folder's own rule installer when the program runs from a portable folder,
// the package's rule otherwise.
QString permissionHint();

} // namespace accessory
