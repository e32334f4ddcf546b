#pragma once

// Takes the machine-wide single-instance guard for this user session.
// Returns false when another instance holds it (or it cannot be created).
bool takeSingleInstanceGuard();
