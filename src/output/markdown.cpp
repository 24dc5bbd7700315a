#include "reading.h"
#include "slidefiles.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace
{

// CommonMark takes every ASCII punctuation character literally after a
// backslash, so escaping them all keeps any name from turning into markup.
QString markdownEscaped(const QString &text)
{
    QString escaped;
    for (const QChar c : text) {
        if (c.unicode() < 128 && (c.isPunct() || c.isSymbol()))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

// A fenced block shows the words exactly as read; its fence is longer than
// any run of backticks in them, so nothing they hold can close it.
QString fencedBlock(const QString &text)
{
    qsizetype longestRun = 0;
    static const QRegularExpression backticks(QStringLiteral("`+"));
    for (QRegularExpressionMatchIterator it = backticks.globalMatch(text); it.hasNext();)
        longestRun = std::max(longestRun, it.next().capturedLength());
    const QString fence(std::max<qsizetype>(3, longestRun + 1), QLatin1Char('`'));
    return fence + QStringLiteral("text\n") + text + QLatin1Char('\n') + fence + QLatin1Char('\n');
}

// The speech as one paragraph of plain text: escaped, as the speaker's
// words are no markup.
QString whatWasSaid(const SlideRecord &row)
{
    if (row.speech.isEmpty())
        return QString();
    return QStringLiteral("\n### What was said\n\n%1\n").arg(markdownEscaped(row.speech));
}

QString slideSection(const SlideRecord &row, int fps)
{
    QString section = QStringLiteral("\n## Slide %1 (%2)%3\n\n![Slide %1](%4)\n")
                          .arg(QString::number(row.number), segmentTimes(row.segment, fps),
                               pageNote(row, QStringLiteral(", ")), urlPath(row.image));
    const QString &text = row.text;
    if (!text.isEmpty())
        section += QLatin1Char('\n') + fencedBlock(text);
    return section + whatWasSaid(row);
}

QString videoLine(const SlideRecord &row, int fps)
{
    return QStringLiteral("\n*Video %1 (%2): %3*\n")
               .arg(QString::number(row.number), segmentTimes(row.segment, fps),
                    markdownEscaped(row.segment.videoLabel)) +
           whatWasSaid(row);
}

} // namespace

QString urlPath(const QString &path)
{
    QStringList parts = QDir::fromNativeSeparators(path).split(QLatin1Char('/'));
    for (QString &part : parts)
        part = QString::fromLatin1(QUrl::toPercentEncoding(part));
    return parts.join(QLatin1Char('/'));
}

QString pageNote(const SlideRecord &row, const QString &separator)
{
    return row.page ? separator + QStringLiteral("page %1").arg(*row.page) : QString();
}

QByteArray markdownNotes(const QList<SlideRecord> &rows, int fps, const RunSummary &run)
{
    QString text = QStringLiteral("# %1\n").arg(markdownEscaped(QFileInfo(run.input).fileName()));
    for (const SlideRecord &row : rows)
        text += row.isVideo() ? videoLine(row, fps) : slideSection(row, fps);
    return text.toUtf8();
}
