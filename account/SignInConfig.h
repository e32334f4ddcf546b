#pragma once
// Sign-in settings: section [signin] of corvane.ini in the user's configuration
// folder, each key overridden by its CORVANE_* environment variable. The
// resolver module PSNID.py reads the same file by the same rules, so both sides
// always talk to the same authorization server.

#include <QString>

inline constexpr const char *kDefaultClientId = "00000000-0000-4000-8000-00000000c0de";

struct SignInConfig {
    QString filePath; // the corvane.ini consulted, for messages to the user
    QString authHost;
    QString redirectHost;
    QString clientId;
    QString clientSecret;
};

// CORVANE_CONFIG_DIR if set; else $XDG_CONFIG_HOME/Corvane (~/.config/Corvane)
// on Linux and %APPDATA%\Corvane on Windows.
QString signInConfigDir();

SignInConfig loadSignInConfig();

// What the user still has to set or fix before the sign-in page can be
// opened; empty when the address can be built.
QString signInConfigProblem(const SignInConfig &config);

// The authorization address, byte for byte. Nothing in it is percent-encoded:
// the redirect_uri is written out plainly, and the address ends with "&".
QString signInAddress(const SignInConfig &config);
