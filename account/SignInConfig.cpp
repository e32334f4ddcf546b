#include "account/SignInConfig.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>
#include <cmath>

namespace {

const char *const kFileName = "corvane.ini";
const char *const kSection = "signin";

struct Key {
    const char *name;
    const char *env;
};
constexpr Key kAuthHost{"auth_host", "CORVANE_AUTH_HOST"};
constexpr Key kRedirectHost{"redirect_host", "CORVANE_REDIRECT_HOST"};
constexpr Key kClientId{"client_id", "CORVANE_CLIENT_ID"};
constexpr Key kClientSecret{"client_secret", "CORVANE_CLIENT_SECRET"};
constexpr Key kTimeout{"http_timeout", "CORVANE_HTTP_TIMEOUT"};
// Tells the resolver that the values come from here (and which file they
// were read from), so it does not read the file itself.
const char *const kGivenSettingsEnv = "CORVANE_SETTINGS_FILE";

QString expandHome(const QString &path) {
    if (path == QLatin1String("~"))
        return QDir::homePath();
    if (path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

// Settings writers wrap values holding separators in quotes; PSNID.py drops
// them the same way.
QString unquote(QString value) {
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2).trimmed();
    return value;
}

// The key/value pairs of one section, read the way Python's configparser
// reads them: "key = value" or "key: value", keys case-insensitive, whole-line
// comments starting with '#' or ';', keys of [DEFAULT] apply to every section,
// UTF-8 with or without a byte-order mark.
QHash<QString, QString> readSection(const QString &path, const QString &section) {
    QHash<QString, QString> values;
    QHash<QString, QString> defaults;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    const QString text = QString::fromUtf8(file.readAll()).remove(QChar(0xFEFF));
    QHash<QString, QString> *current = nullptr;
    for (const QString &rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            const QString name = line.mid(1, line.size() - 2);
            current = name == section                    ? &values
                      : name == QLatin1String("DEFAULT") ? &defaults
                                                         : nullptr;
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        const int colon = line.indexOf(QLatin1Char(':'));
        const int delimiter = (equals < 0 || (colon >= 0 && colon < equals)) ? colon : equals;
        if (current && delimiter > 0)
            current->insert(line.left(delimiter).trimmed().toLower(),
                            unquote(line.mid(delimiter + 1)));
    }
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        if (!values.contains(it.key()))
            values.insert(it.key(), it.value());
    }
    return values;
}

QString valueOf(const Key &key, const QHash<QString, QString> &fromFile) {
    const QString fromEnvironment = qEnvironmentVariable(key.env).trimmed();
    return fromEnvironment.isEmpty() ? fromFile.value(QLatin1String(key.name)) : fromEnvironment;
}

struct HostBase {
    QString scheme;
    QString authority; // host, host:port or [v6]:port
};

enum class HostCheck { Usable, Malformed, PlainHttpElsewhere };

bool isHostName(const QString &host) {
    static const QRegularExpression ipv6(QStringLiteral("^\\[[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*\\]$"));
    static const QRegularExpression label(
        QStringLiteral("^[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?$"));
    if (ipv6.match(host).hasMatch())
        return true;
    if (host.size() > 253)
        return false;
    for (const QString &part : host.split(QLatin1Char('.'))) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return true;
}

bool isLoopback(const QString &host) {
    const QString lower = host.toLower();
    if (lower == QLatin1String("localhost") || lower == QLatin1String("[::1]"))
        return true;
    const QStringList parts = lower.split(QLatin1Char('.'));
    if (parts.size() != 4 || parts.at(0) != QLatin1String("127"))
        return false;
    for (const QString &part : parts) {
        bool isNumber = false;
        if (part.size() > 3 || part.toUInt(&isNumber) > 255 || !isNumber || !part.at(0).isDigit())
            return false;
    }
    return true;
}

// 'host', 'host:port' or 'http(s)://host[:port]'; a bare host means https.
// Plain http only for this computer: it would carry the code, the client
// secret and the token in the clear.
HostCheck parseHost(const QString &value, HostBase *base) {
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    static const QRegularExpression authority(
        QStringLiteral("^(\\[[^\\]]*\\]|[^:\\[\\]]+)(?::([0-9]{1,5}))?$"));
    QString text = value;
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    base->scheme = QStringLiteral("https");
    const QRegularExpressionMatch prefix = scheme.match(text);
    if (prefix.hasMatch()) {
        base->scheme = prefix.captured(1).toLower();
        text = text.mid(prefix.capturedLength());
    }
    base->authority = text;
    const QRegularExpressionMatch parts = authority.match(text);
    const QString port = parts.captured(2);
    const bool usable =
        (base->scheme == QLatin1String("https") || base->scheme == QLatin1String("http")) &&
        parts.hasMatch() && isHostName(parts.captured(1)) &&
        (port.isEmpty() || (port.toInt() >= 1 && port.toInt() <= 65535));
    if (!usable)
        return HostCheck::Malformed;
    if (base->scheme == QLatin1String("http") && !isLoopback(parts.captured(1)))
        return HostCheck::PlainHttpElsewhere;
    return HostCheck::Usable;
}

bool isClientId(const QString &value) {
    static const QRegularExpression form(QStringLiteral(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));
    return form.match(value).hasMatch();
}

QString baseUrl(const QString &host) {
    HostBase base;
    parseHost(host, &base);
    return base.scheme + QLatin1String("://") + base.authority;
}

QString missingHostsProblem(const QStringList &keys, const QStringList &envs, const QString &path) {
    const bool several = keys.size() > 1;
    return QStringLiteral("Sign-in is not configured: set %1 in section [%2] of %3, or the "
                          "environment variable%4 %5.")
        .arg(keys.join(QLatin1String(" and ")), QLatin1String(kSection), path,
             several ? QStringLiteral("s") : QString(), envs.join(QLatin1String(" and ")));
}

// Names the key only: a value may be a secret put in the wrong place.
QString badSettingProblem(const Key &key, const QString &problem, const QString &path) {
    return QStringLiteral("%1 %2; fix it in section [%3] of %4 or in the environment variable %5.")
        .arg(QLatin1String(key.name), problem, QLatin1String(kSection), path,
             QLatin1String(key.env));
}

QString badHostProblem(const Key &key, HostCheck check, const QString &path) {
    return badSettingProblem(
        key,
        check == HostCheck::PlainHttpElsewhere
            ? QStringLiteral("uses plain http://, which is allowed only for a server on this "
                             "computer (localhost, 127.0.0.0/8, ::1); use https://")
            : QStringLiteral("is not a host name, host:port or http(s)://host[:port]"),
        path);
}

double parseSeconds(const QString &text) {
    bool isNumber = false;
    const double seconds = text.toDouble(&isNumber);
    return isNumber && std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

} // namespace

QString signInConfigDir() {
    const QString explicitDir = qEnvironmentVariable("CORVANE_CONFIG_DIR");
    if (!explicitDir.isEmpty())
        return expandHome(explicitDir);
#ifdef Q_OS_WIN
    const QString appData = qEnvironmentVariable("APPDATA");
    const QString base =
        appData.isEmpty() ? QDir::homePath() + QLatin1String("/AppData/Roaming") : appData;
#else
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString base =
        QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + QLatin1String("/.config");
#endif
    return base + QLatin1String("/Corvane");
}

SignInConfig loadSignInConfig() {
    SignInConfig config;
    config.filePath =
        QDir::toNativeSeparators(signInConfigDir() + QLatin1Char('/') + QLatin1String(kFileName));
    const QHash<QString, QString> fromFile = readSection(config.filePath, QLatin1String(kSection));
    config.authHost = valueOf(kAuthHost, fromFile);
    config.redirectHost = valueOf(kRedirectHost, fromFile);
    config.clientId = valueOf(kClientId, fromFile);
    if (config.clientId.isEmpty())
        config.clientId = QLatin1String(kDefaultClientId);
    config.clientSecret = valueOf(kClientSecret, fromFile);
    config.timeoutText = valueOf(kTimeout, fromFile);
    const double seconds = parseSeconds(config.timeoutText);
    config.timeoutSeconds = seconds > 0 ? seconds : kDefaultTimeoutSeconds;
    return config;
}

QString signInConfigProblem(const SignInConfig &config) {
    QStringList missingKeys;
    QStringList missingEnvs;
    for (const auto &[key, value] :
         {std::pair{kAuthHost, config.authHost}, std::pair{kRedirectHost, config.redirectHost}}) {
        if (value.isEmpty()) {
            missingKeys << QLatin1String(key.name);
            missingEnvs << QLatin1String(key.env);
        }
    }
    if (!missingKeys.isEmpty())
        return missingHostsProblem(missingKeys, missingEnvs, config.filePath);
    for (const auto &[key, value] :
         {std::pair{kAuthHost, config.authHost}, std::pair{kRedirectHost, config.redirectHost}}) {
        HostBase base;
        const HostCheck check = parseHost(value, &base);
        if (check != HostCheck::Usable)
            return badHostProblem(key, check, config.filePath);
    }
    if (!isClientId(config.clientId))
        return badSettingProblem(kClientId,
                                 QStringLiteral("is not an OAuth client id of the form "
                                                "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx "
                                                "(hexadecimal digits)"),
                                 config.filePath);
    return QString();
}

QString signInConfigNotice(const SignInConfig &config) {
    if (!config.clientSecret.isEmpty())
        return QString();
    return QStringLiteral("client_secret is not set, so Paste will not be able to finish the "
                          "sign-in afterwards; set it in section [%1] of %2 or in the environment "
                          "variable %3.")
        .arg(QLatin1String(kSection), config.filePath, QLatin1String(kClientSecret.env));
}

ResolverEnvironment resolverEnvironment(const SignInConfig &config, double resolverSeconds) {
    const bool validTimeout = config.timeoutText.isEmpty() || parseSeconds(config.timeoutText) > 0;
    return {
        {QLatin1String(kGivenSettingsEnv), config.filePath},
        {QLatin1String(kAuthHost.env), config.authHost},
        {QLatin1String(kRedirectHost.env), config.redirectHost},
        {QLatin1String(kClientId.env), config.clientId},
        {QLatin1String(kClientSecret.env), config.clientSecret},
        // The setting itself, for the module's messages; its own deadline
        // comes separately.
        {QLatin1String(kTimeout.env),
         validTimeout ? QString::number(config.timeoutSeconds, 'g', 6) : config.timeoutText},
        {QStringLiteral("CORVANE_RESOLVER_DEADLINE"), QString::number(resolverSeconds, 'g', 6)},
    };
}

QString signInAddress(const SignInConfig &config) {
    const QString pairs[][2] = {
        {"service_entity", "urn:service-entity:psn"},
        {"response_type", "code"},
        {"client_id", config.clientId},
        {"redirect_uri", baseUrl(config.redirectHost) + QLatin1String("/remoteplay/redirect")},
        {"scope", "psn:clientapp"},
        {"request_locale", "en_US"},
        {"ui", "pr"},
        {"service_logo", "ps"},
        {"layout_type", "popup"},
        {"smcid", "remoteplay"},
        {"prompt", "always"},
        {"PlatformPrivacyWs1", "minimal"},
    };
    QString address = baseUrl(config.authHost) + QLatin1String("/2.0/oauth/authorize?");
    for (const auto &pair : pairs)
        address += pair[0] + QLatin1Char('=') + pair[1] + QLatin1Char('&');
    return address;
}
