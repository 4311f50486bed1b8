// What the fuzz targets share: a check that stops the run with a message
// libFuzzer shows next to the input it saved, and the byte-level facts about
// JSON text that need no parser.
#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <QByteArray>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>

// A broken property is reported like a crash: libFuzzer saves the input as
// crash-<hash> and the run fails.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "property violated at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

namespace FuzzCheck {

inline QByteArray bytes(const unsigned char *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The four characters JSON allows between tokens.
inline bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool startsWithBom(const QByteArray &text)
{
    return text.startsWith("\xEF\xBB\xBF");
}

// The first and last characters of the text that are not JSON white space,
// past a leading UTF-8 byte order mark; 0 when there are none.
inline char firstToken(const QByteArray &text)
{
    qsizetype i = startsWithBom(text) ? 3 : 0;
    while (i < text.size() && isJsonSpace(text.at(i)))
        ++i;
    return i < text.size() ? text.at(i) : 0;
}

inline char lastToken(const QByteArray &text)
{
    qsizetype i = text.size() - 1;
    while (i >= (startsWithBom(text) ? 3 : 0) && isJsonSpace(text.at(i)))
        --i;
    return i >= (startsWithBom(text) ? 3 : 0) ? text.at(i) : 0;
}

// The literal true cannot be spelt with escapes, so a body that yields a
// true flag holds these four bytes somewhere.
inline bool holdsLiteralTrue(const QByteArray &text)
{
    return text.contains("true");
}

// The same JSON text with white space around it, which a reader must not
// notice. A leading byte order mark has to stay first, so the leading
// space goes after it.
inline QByteArray padded(const QByteArray &text)
{
    if (startsWithBom(text))
        return text.left(3) + " \r\n\t" + text.mid(3) + "\n \t\r";
    return " \r\n\t" + text + "\n \t\r";
}

// Whether every member of the object can be found by the name its iterator
// gives. QJsonObject hands out names through QString::fromUtf8(), which drops
// a leading U+FEFF, while lookups compare the name as it was sent.
inline bool namesSurviveWriting(const QJsonObject &object)
{
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (object.constFind(it.key()) != it)
            return false;
    }
    return true;
}

} // namespace FuzzCheck

#endif // FUZZCHECK_H
