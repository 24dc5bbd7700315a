#include "report.h"
#include "reading.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace
{

// The time of a frame in whole seconds, truncated.
QString formatTime(int frameIndex, int fps)
{
    return clockTime(fps <= 0 ? 0 : frameIndex / fps);
}

// A row ends where the frame after its last one starts; 64 bits, as that
// frame can lie one past INT_MAX.
qint64 endFrameExclusive(const SlideRecord &row)
{
    return qint64(row.segment.endFrame) + 1;
}

double seconds(qint64 frame, int fps)
{
    return double(frame) / fps;
}

// Truncated, so that cues and chapters, like the text report, never place
// a frame later than it is; consecutive rows still meet exactly.
qint64 milliseconds(qint64 frame, int fps)
{
    return frame * 1000 / fps;
}

QString kindName(const SlideRecord &row)
{
    return row.isVideo() ? QStringLiteral("video") : QStringLiteral("slide");
}

// "Slide 3", "Video 1": what a player shows for a chapter.
QString title(const SlideRecord &row)
{
    return (row.isVideo() ? QStringLiteral("Video %1") : QStringLiteral("Slide %1"))
        .arg(row.number);
}

QByteArray json(const QList<SlideRecord> &rows, int fps, const RunSummary &run)
{
    QJsonArray segments;
    for (const SlideRecord &row : rows) {
        QJsonObject segment{
            {QStringLiteral("kind"), kindName(row)},
            {QStringLiteral("index"), row.number},
            {QStringLiteral("start"), seconds(row.segment.startFrame, fps)},
            {QStringLiteral("end"), seconds(endFrameExclusive(row), fps)},
            {QStringLiteral("startFrame"), row.segment.startFrame},
            {QStringLiteral("endFrame"), row.segment.endFrame},
        };
        segment.insert(row.isVideo() ? QStringLiteral("label") : QStringLiteral("image"),
                       imageOrLabel(row));
        if (row.repeatOf > 0)
            segment.insert(QStringLiteral("repeatOf"), row.repeatOf);
        if (run.textsRead && !row.isVideo())
            segment.insert(QStringLiteral("text"), row.text);
        if (run.speechGiven)
            segment.insert(QStringLiteral("speech"), row.speech);
        if (run.pagesMatched && !row.isVideo())
            segment.insert(QStringLiteral("page"), row.page ? QJsonValue(*row.page) : QJsonValue());
        segments.append(segment);
    }
    const QJsonObject document{{QStringLiteral("input"), run.input},
                               {QStringLiteral("options"), run.options},
                               {QStringLiteral("segments"), segments}};
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

// RFC 4180: a field holding a separator, a quote or a line break is quoted,
// with its quotes doubled.
QString csvField(const QString &text)
{
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return special.contains(c); }))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Decimal seconds as the JSON report writes them: no exponent, as few
// digits as read back to the same double.
QString csvSeconds(qint64 frame, int fps)
{
    return QString::number(seconds(frame, fps), 'f', QLocale::FloatingPointShortest);
}

// Records end in CRLF, as RFC 4180 has it; spreadsheets and CSV libraries
// take that everywhere, and a bare LF inside a quoted path stays part of it.
// The words of each slide, when they were read, and the words spoken, when
// subtitles were given, go into columns of their own at the end.
QByteArray csv(const QList<SlideRecord> &rows, int fps, const RunSummary &run)
{
    const QString recordEnd = QStringLiteral("\r\n");
    QString text = QStringLiteral("kind,index,start,end,startFrame,endFrame,image,label") +
                   (run.textsRead ? QStringLiteral(",text") : QString()) +
                   (run.pagesMatched ? QStringLiteral(",page") : QString()) + recordEnd;
    (run.speechGiven ? QStringLiteral(",speech") : QString()) + recordEnd;
    for (const SlideRecord &row : rows) {
        QStringList fields{kindName(row),
                           QString::number(row.number),
                           csvSeconds(row.segment.startFrame, fps),
                           csvSeconds(endFrameExclusive(row), fps),
                           QString::number(row.segment.startFrame),
                           QString::number(row.segment.endFrame),
                           csvField(row.isVideo() ? QString() : row.image),
                           csvField(row.isVideo() ? row.segment.videoLabel : QString())};
        if (run.textsRead)
            fields.append(csvField(row.isVideo() ? QString() : row.text));
        if (run.pagesMatched)
            fields.append(row.page ? QString::number(*row.page) : QString());
        if (run.speechGiven)
            fields.append(csvField(row.speech));
        text += fields.join(QLatin1Char(',')) + recordEnd;
    }
    return text.toUtf8();
}

// "HH:MM:SS.mmm"; hours take as many digits as they need.
QString vttTime(qint64 ms)
{
    return clockTime(ms / 1000) + QStringLiteral(".%1").arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

QByteArray vtt(const QList<SlideRecord> &rows, int fps, const RunSummary &run)
{
    QString text = QStringLiteral("WEBVTT\n");
    for (const SlideRecord &row : rows) {
        text +=
            QStringLiteral("\n%1 --> %2\n%3\n")
                .arg(vttTime(milliseconds(row.segment.startFrame, fps)),
                     vttTime(milliseconds(endFrameExclusive(row), fps)), segmentTitle(row, run));
    }
    return text.toUtf8();
}

// ffmpeg's metadata reader takes these characters literally only after a
// backslash.
QString ffmetadataValue(const QString &text)
{
    static const QString special = QStringLiteral("=;#\\\n");
    QString escaped;
    for (const QChar c : text) {
        if (special.contains(c))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

QByteArray ffmetadata(const QList<SlideRecord> &rows, int fps, const RunSummary &run)
{
    QString text = QStringLiteral(";FFMETADATA1\n");
    for (const SlideRecord &row : rows) {
        text += QStringLiteral("\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=%1\nEND=%2\ntitle=%3\n")
                    .arg(milliseconds(row.segment.startFrame, fps))
                    .arg(milliseconds(endFrameExclusive(row), fps))
                    .arg(ffmetadataValue(segmentTitle(row, run)));
    }
    return text.toUtf8();
}

QByteArray formatted(ReportFormat format, const QList<SlideRecord> &rows, int fps,
                     const RunSummary &run)
{
    switch (format) {
    case ReportFormat::Json:
        return json(rows, fps, run);
    case ReportFormat::Csv:
        return csv(rows, fps, run);
    case ReportFormat::Markdown:
        return markdownNotes(rows, fps, run);
    case ReportFormat::Vtt:
        return vtt(rows, fps, run);
    case ReportFormat::FfMetadata:
        return ffmetadata(rows, fps, run);
    case ReportFormat::Text: // printTimeline writes it line by line
        break;
    }
    return QByteArray();
}

} // namespace

QString segmentTimes(const Segment &segment, int fps)
{
    return formatTime(segment.startFrame, fps) + QStringLiteral(" - ") +
           formatTime(segment.endFrame, fps);
}

QString segmentTitle(const SlideRecord &record, const RunSummary &run)
{
    if (!record.isVideo() && record.page && *record.page >= 1 &&
        *record.page <= run.pageTitles.size() && !run.pageTitles[*record.page - 1].isEmpty())
        return run.pageTitles[*record.page - 1];
    return title(record);
}

QString imageOrLabel(const SlideRecord &record)
{
    return record.isVideo() ? record.segment.videoLabel : record.image;
}

QString clockTime(qint64 seconds)
{
    const auto twoDigits = [](qint64 value) {
        return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
    };
    return QStringLiteral("%1:%2:%3")
        .arg(twoDigits(seconds / 3600), twoDigits(seconds % 3600 / 60), twoDigits(seconds % 60));
}

void printTimeline(const QList<SlideRecord> &records, int fps)
{
    // One stream for the whole report. If standard output cannot take it,
    // the text is lost; the run has done its work and still succeeds.
    QTextStream out(stdout);
    for (const SlideRecord &record : records) {
        out << segmentTimes(record.segment, fps) << '\t' << imageOrLabel(record) << '\n';
    }
}

std::optional<ReportFormat> reportFormatNamed(const QString &name)
{
    static const QList<QPair<QString, ReportFormat>> formats{
        {QStringLiteral("text"), ReportFormat::Text},
        {QStringLiteral("json"), ReportFormat::Json},
        {QStringLiteral("csv"), ReportFormat::Csv},
        {QStringLiteral("vtt"), ReportFormat::Vtt},
        {QStringLiteral("ffmetadata"), ReportFormat::FfMetadata},
        {QStringLiteral("markdown"), ReportFormat::Markdown}};
    for (const auto &format : formats) {
        if (format.first == name)
            return format.second;
    }
    return std::nullopt;
}

void printReport(ReportFormat format, const QList<SlideRecord> &records, int fps,
                 const RunSummary &run)
{
    if (format == ReportFormat::Text) {
        printTimeline(records, fps);
        return;
    }
    // As with the text report, output that standard output cannot take is
    // lost and the run still succeeds.
    QFile out;
    if (out.open(stdout, QIODevice::WriteOnly))
        out.write(formatted(format, records, fps, run));
}
