#include "account/SignInConfig.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <QtGlobal>

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

bool isValidPort(const QString &port) {
    bool isNumber = false;
    const uint value = port.toUInt(&isNumber);
    return port.isEmpty() || (isNumber && port.at(0).isDigit() && value <= 65535);
}

bool isValidAuthority(const QString &authority) {
    for (const QChar c : authority) {
        if (c.isSpace() || QStringLiteral("/?#@\\").contains(c))
            return false;
    }
    QString host = authority;
    QString port;
    const int close = authority.indexOf(QLatin1Char(']'));
    const int colon = authority.indexOf(QLatin1Char(':'), close + 1);
    if (authority.startsWith(QLatin1Char('[')) && close < 0)
        return false;
    if (!authority.startsWith(QLatin1Char('[')) && colon >= 0 &&
        authority.indexOf(QLatin1Char(':'), colon + 1) >= 0)
        return false; // more than one colon outside brackets
    if (colon >= 0) {
        host = authority.left(colon);
        port = authority.mid(colon + 1);
    } else if (close >= 0 && close != authority.size() - 1) {
        return false; // text after "]" that is not a port
    }
    return !host.isEmpty() && host != QLatin1String("[]") && isValidPort(port);
}

// 'host', 'host:port' or 'scheme://host[:port]'; a bare host means https.
bool parseHost(const QString &value, HostBase *base) {
    QString text = value;
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const int separator = text.indexOf(QLatin1String("://"));
    base->scheme = separator < 0 ? QStringLiteral("https") : text.left(separator).toLower();
    base->authority = separator < 0 ? text : text.mid(separator + 3);
    const bool knownScheme =
        base->scheme == QLatin1String("https") || base->scheme == QLatin1String("http");
    return knownScheme && isValidAuthority(base->authority);
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

QString badHostProblem(const Key &key, const QString &value, const QString &path) {
    return QStringLiteral("%1 = \"%2\" is not a host name, host:port or http(s)://host[:port]; "
                          "fix it in section [%3] of %4 or in the environment variable %5.")
        .arg(QLatin1String(key.name), value, QLatin1String(kSection), path, QLatin1String(key.env));
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
    HostBase base;
    if (!parseHost(config.authHost, &base))
        return badHostProblem(kAuthHost, config.authHost, config.filePath);
    if (!parseHost(config.redirectHost, &base))
        return badHostProblem(kRedirectHost, config.redirectHost, config.filePath);
    return QString();
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
