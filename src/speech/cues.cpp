#include "speech.h"

#include <QRegularExpression>

#include <algorithm>

namespace
{

// "01:02:03.456" or "02:03.456" (a comma taken too, as SRT writes it).
std::optional<qint64> cueTimeMs(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?:(\\d+):)?([0-5]\\d):([0-5]\\d)[.,](\\d{3})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 hours = match.captured(1).isEmpty() ? 0 : match.captured(1).toLongLong();
    return ((hours * 60 + match.captured(2).toLongLong()) * 60 + match.captured(3).toLongLong()) *
               1000 +
           match.captured(4).toLongLong();
}

// The start and end of a cue's timing line, "START --> END [settings]".
std::optional<Cue> timingLine(const QString &line)
{
    const qsizetype arrow = line.indexOf(QLatin1String("-->"));
    if (arrow < 0)
        return std::nullopt;
    const QString after = line.mid(arrow + 3).trimmed();
    const std::optional<qint64> start = cueTimeMs(line.left(arrow).trimmed());
    const std::optional<qint64> end = cueTimeMs(after.section(QLatin1Char(' '), 0, 0));
    if (!start || !end)
        return std::nullopt;
    return Cue{*start, std::max(*start, *end), QString()};
}

QString decodedReferences(const QString &text)
{
    static const QList<QPair<QString, QString>> named{
        {QStringLiteral("&lt;"), QStringLiteral("<")},
        {QStringLiteral("&gt;"), QStringLiteral(">")},
        {QStringLiteral("&nbsp;"), QStringLiteral(" ")},
        {QStringLiteral("&lrm;"), QString()},
        {QStringLiteral("&rlm;"), QString()},
        {QStringLiteral("&quot;"), QStringLiteral("\"")},
        {QStringLiteral("&apos;"), QStringLiteral("'")}};
    static const QRegularExpression numeric(QStringLiteral("&#(x[0-9a-fA-F]{1,6}|[0-9]{1,7});"));
    QString decoded;
    qsizetype from = 0;
    for (QRegularExpressionMatchIterator it = numeric.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        decoded += text.mid(from, match.capturedStart() - from);
        const QString digits = match.captured(1);
        bool ok = false;
        const uint code = digits.startsWith(QLatin1Char('x')) ? digits.mid(1).toUInt(&ok, 16)
                                                              : digits.toUInt(&ok, 10);
        const char32_t character = char32_t(code);
        if (ok && code > 0 && code <= 0x10FFFF)
            decoded += QString::fromUcs4(&character, 1);
        from = match.capturedEnd();
    }
    decoded += text.mid(from);
    for (const auto &reference : named)
        decoded.replace(reference.first, reference.second);
    // Last, so that "&amp;lt;" stays "&lt;".
    return decoded.replace(QLatin1String("&amp;"), QLatin1String("&"));
}

QStringList words(const QString &plain)
{
    return plain.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool sameWords(const QStringList &a, qsizetype fromA, const QStringList &b, qsizetype count)
{
    for (qsizetype i = 0; i < count; ++i) {
        if (a.at(fromA + i).compare(b.at(i), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

// How many of next's first words repeat the last words of shown. One word
// alone is no sign of rolling (speech repeats a word now and then), unless
// it is all of next.
qsizetype repeatedWords(const QStringList &shown, const QStringList &next)
{
    for (qsizetype count = std::min(shown.size(), next.size()); count > 0; --count) {
        if ((count >= 2 || count == next.size()) &&
            sameWords(shown, shown.size() - count, next, count))
            return count;
    }
    return 0;
}

qint64 overlapMs(const Cue &cue, const Span &span)
{
    return std::min(cue.endMs, span.endMs) - std::max(cue.startMs, span.startMs);
}

qsizetype spanOf(const Cue &cue, const QList<Span> &spans)
{
    qsizetype best = -1;
    qint64 bestOverlap = 0;
    for (qsizetype i = 0; i < spans.size(); ++i) {
        const qint64 overlap = overlapMs(cue, spans.at(i));
        if (overlap > bestOverlap) {
            best = i;
            bestOverlap = overlap;
        }
    }
    if (best >= 0)
        return best;
    // A cue of no length, or one outside every span: the last span that
    // starts at or before it, else the first.
    best = 0;
    for (qsizetype i = 0; i < spans.size(); ++i) {
        if (spans.at(i).startMs <= cue.startMs)
            best = i;
    }
    return best;
}

} // namespace

QList<Cue> parseWebVtt(const QString &document)
{
    QStringList lines = document.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    QList<Cue> cues;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        std::optional<Cue> cue = timingLine(lines.at(i));
        if (!cue)
            continue;
        QStringList text;
        while (i + 1 < lines.size() && !lines.at(i + 1).trimmed().isEmpty())
            text.append(lines.at(++i));
        cue->text = text.join(QLatin1Char('\n'));
        cues.append(*cue);
    }
    return cues;
}

QString plainCueText(const QString &text)
{
    // "<c.yellow>", "</i>", "<v Speaker>", "<00:00:01.500>"; and what is left
    // of styling from ASS ("{\an8}").
    static const QRegularExpression markup(QStringLiteral("<[^>]*>|\\{\\\\[^}]*\\}"));
    QString plain = text;
    plain.remove(markup);
    return decodedReferences(plain).simplified();
}

QList<Cue> wordsOnce(const QList<Cue> &cues)
{
    QList<Cue> added;
    QStringList shown;
    for (const Cue &cue : cues) {
        const QStringList next = words(plainCueText(cue.text));
        if (next.isEmpty())
            continue;
        const QStringList fresh = next.mid(repeatedWords(shown, next));
        shown = next;
        if (!fresh.isEmpty())
            added.append(Cue{cue.startMs, cue.endMs, fresh.join(QLatin1Char(' '))});
    }
    return added;
}

QStringList speechBySpan(const QList<Cue> &cues, const QList<Span> &spans)
{
    QList<QStringList> parts(spans.size());
    if (spans.isEmpty())
        return {};
    for (const Cue &cue : cues)
        parts[spanOf(cue, spans)].append(cue.text);
    QStringList speech;
    for (const QStringList &part : parts)
        speech.append(part.join(QLatin1Char(' ')));
    return speech;
}
