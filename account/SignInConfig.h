#pragma once
// Sign-in settings: section [signin] of corvane.ini in the user's configuration
// folder, each key overridden by its CORVANE_* environment variable. Only the
// program reads them: the resolver module gets the effective values in its
// interpreter's environment (resolverEnvironment), so Login and Paste can never
// disagree about a file.

#include <QString>

#include "account/PythonResolver.h"

inline constexpr const char *kDefaultClientId = "00000000-0000-4000-8000-00000000c0de";
inline constexpr double kDefaultTimeoutSeconds = 30.0;

struct SignInConfig {
    QString filePath; // the corvane.ini consulted, for messages to the user
    QString authHost;
    QString redirectHost;
    QString clientId;
    QString clientSecret;
    // How long one Paste may wait for the sign-in server, all of it together.
    QString timeoutText;                            // as written; may be malformed
    double timeoutSeconds = kDefaultTimeoutSeconds; // the default when malformed
};

// CORVANE_CONFIG_DIR if set; else $XDG_CONFIG_HOME/Corvane (~/.config/Corvane)
// on Linux and %APPDATA%\Corvane on Windows.
QString signInConfigDir();

SignInConfig loadSignInConfig();

// What the user still has to set or fix before the sign-in page can be
// opened; empty when the address can be built. Names keys, never values.
QString signInConfigProblem(const SignInConfig &config);

// What the user should know before signing in although the page can be
// opened (a missing client secret); empty when nothing.
QString signInConfigNotice(const SignInConfig &config);

// The effective settings as the resolver module reads them. The module gets
// `resolverSeconds` for its own deadline in CORVANE_RESOLVER_DEADLINE, and the
// timeout setting as configured (malformed text is handed on as it is, for the
// module to report).
ResolverEnvironment resolverEnvironment(const SignInConfig &config, double resolverSeconds);

// The authorization address, byte for byte. Nothing in it is percent-encoded:
// the redirect_uri is written out plainly, and the address ends with "&".
QString signInAddress(const SignInConfig &config);
