#include "common/LogRedaction.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <vector>

namespace {

struct NotedValue {
    QString value;
    QString mask;
};

// A long session notes a few values per Paste or Save; the oldest go first.
constexpr std::size_t kMaxNotedValues = 256;
// A pasted text longer than this is never quoted whole; the code pattern
// still masks what matters in it.
constexpr int kMaxNotedLength = 64 * 1024;

QMutex notedMutex;
std::vector<NotedValue> notedValues;

QString maskFor(LogRedaction::PrivateKind kind) {
    using Kind = LogRedaction::PrivateKind;
    switch (kind) {
    case Kind::AccountId:
        return QStringLiteral("[account ID]");
    case Kind::Pin:
        return QStringLiteral("[PIN]");
    case Kind::PastedText:
        return QStringLiteral("[pasted address]");
    case Kind::AuthorizationCode:
        return QStringLiteral("[authorization code]");
    case Kind::ClientSecret:
        return QStringLiteral("[client secret]");
    }
    return QStringLiteral("[private]");
}

const QString kRemoved = QStringLiteral("[removed]");
const QString kAccountIdMask = QStringLiteral("[account ID]");

// Key names whose values are credentials: code, access_token, client_secret, ...
const QString kSecretKey = QStringLiteral("[A-Za-z_]*(?:code|token|secret|npsso|password)");
// The same in "key: value" text, where a plain "code" is more often a status
// ("error code: 400") than a credential.
const QString kSecretColonKey =
    QStringLiteral("[A-Za-z_]*(?:token|secret|npsso|password)|(?:authorization|auth)_code");
// A value that already is one of the masks is left alone; any other value,
// also one that starts with "[", is replaced.
const QString kNotAMask = QStringLiteral("(?!\\[(?:removed|account ID|PIN|pasted address|"
                                         "authorization code|client secret|access token)\\])");

struct Pattern {
    QRegularExpression expression;
    QString replacement;
};

const std::vector<Pattern> &patterns() {
    static const std::vector<Pattern> all = [] {
        const auto insensitive = QRegularExpression::CaseInsensitiveOption;
        return std::vector<Pattern>{
            // The resolver's result line: everything after the colon is the ID.
            {QRegularExpression(QStringLiteral("^(resultgetpsnid:).+$")),
             QStringLiteral("\\1") + kAccountIdMask},
            // key=value, in addresses, form bodies and configuration lines.
            {QRegularExpression(
                 QStringLiteral("\\b(%1)(\\s*=\\s*)%2[^&\\s#\"',;]+").arg(kSecretKey, kNotAMask),
                 insensitive),
             QStringLiteral("\\1\\2") + kRemoved},
            // key: value, unquoted (Python's and YAML-like text).
            {QRegularExpression(QStringLiteral("\\b(%1)(\\s*:\\s*)%2(?![\"'\\\\])[^&\\s#\"',;}]+")
                                    .arg(kSecretColonKey, kNotAMask),
                                insensitive),
             QStringLiteral("\\1\\2") + kRemoved},
            // \"key\":\"value\" (JSON in a byte array that the debug log
            // printed with its quotes escaped).
            {QRegularExpression(
                 QStringLiteral("(\\\\[\"'])(%1)\\1(\\s*:\\s*)\\1(?:(?!\\1).)*\\1").arg(kSecretKey),
                 insensitive),
             QStringLiteral("\\1\\2\\1\\3\\1") + kRemoved + QStringLiteral("\\1")},
            // "key": "value" (JSON) and 'key': 'value' (Python's dict text).
            {QRegularExpression(
                 QStringLiteral("([\"'])(%1)\\1(\\s*:\\s*)([\"'])(?:\\\\.|(?!\\4).)*\\4")
                     .arg(kSecretKey),
                 insensitive),
             QStringLiteral("\\1\\2\\1\\3\\4") + kRemoved + QStringLiteral("\\4")},
            // Authorization header values.
            {QRegularExpression(QStringLiteral("\\b(Bearer|Basic)(\\s+)[A-Za-z0-9._~+/=-]{6,}"),
                                insensitive),
             QStringLiteral("\\1\\2") + kRemoved},
            // An account ID on its own: the base64 text of 8 bytes.
            {QRegularExpression(
                 QStringLiteral("(?<![A-Za-z0-9+/=])[A-Za-z0-9+/]{11}=(?![A-Za-z0-9+/=])")),
             kAccountIdMask},
        };
    }();
    return all;
}

// The noted value that starts at `at`, the longest if several do.
const NotedValue *notedValueAt(QStringView line, int at,
                               const std::vector<const NotedValue *> &byLength) {
    for (const NotedValue *noted : byLength) {
        if (line.mid(at).startsWith(noted->value))
            return noted;
    }
    return nullptr;
}

// Replaces every noted value in one pass, longest first, so that a mask just
// written is never taken apart by a shorter value. Compared as plain text: a
// pattern built from the values would misread some (a NUL before a digit,
// an unpaired surrogate from a Windows clipboard) and then mask nothing.
QString maskNotedValues(const QString &line) {
    QMutexLocker lock(&notedMutex);
    if (notedValues.empty())
        return line;
    std::vector<const NotedValue *> byLength;
    for (const NotedValue &noted : notedValues)
        byLength.push_back(&noted);
    std::stable_sort(byLength.begin(), byLength.end(), [](const auto *a, const auto *b) {
        return a->value.size() > b->value.size();
    });
    QString result;
    int at = 0;
    while (at < line.size()) {
        if (const NotedValue *noted = notedValueAt(line, at, byLength)) {
            result += noted->mask;
            at += noted->value.size();
        } else {
            result += line.at(at++);
        }
    }
    return result;
}

} // namespace

namespace LogRedaction {

void notePrivate(PrivateKind kind, const QString &value) {
    if (value.size() < kMinNotedLength || value.size() > kMaxNotedLength)
        return;
    QMutexLocker lock(&notedMutex);
    const auto same = std::find_if(notedValues.begin(), notedValues.end(),
                                   [&](const NotedValue &noted) { return noted.value == value; });
    if (same != notedValues.end())
        notedValues.erase(same);
    notedValues.push_back({value, maskFor(kind)});
    if (notedValues.size() > kMaxNotedValues)
        notedValues.erase(notedValues.begin());
}

void forgetNotedValues() {
    QMutexLocker lock(&notedMutex);
    notedValues.clear();
}

QString redact(const QString &line) {
    QString result = maskNotedValues(line);
    for (const Pattern &pattern : patterns())
        result.replace(pattern.expression, pattern.replacement);
    return result;
}

} // namespace LogRedaction
