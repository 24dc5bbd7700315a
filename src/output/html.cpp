#include "reading.h"
#include "slidefiles.h"

#include <QFileInfo>
#include <QLocale>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

namespace
{

const char pageStyle[] = R"(
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; background: #f4f4f2; color: #222; }
header { position: sticky; top: 0; z-index: 1; display: flex; flex-wrap: wrap; gap: 12px;
  align-items: center; padding: 10px 16px; background: #20232a; color: #eee; }
header h1 { flex: 1 0 100%; margin: 0; font-size: 18px; overflow-wrap: anywhere; }
video { max-width: min(100%, 720px); max-height: 40vh; background: #000; }
#filter { flex: 1 1 240px; padding: 6px 8px; font: inherit; }
#grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(260px, 1fr)); gap: 14px;
  padding: 16px; }
.tile { margin: 0; padding: 8px; background: #fff; border: 2px solid transparent;
  border-radius: 6px; box-shadow: 0 1px 3px rgba(0,0,0,.2); cursor: pointer; }
.tile[hidden] { display: none; }
.tile:focus, .tile.current { border-color: #2a6fdb; outline: none; }
.tile img { display: block; width: 100%; height: auto; }
.tile .moving { display: flex; align-items: center; justify-content: center; aspect-ratio: 16/9;
  background: repeating-linear-gradient(45deg, #333, #333 12px, #444 12px, #444 24px);
  color: #fff; font-weight: bold; }
figcaption { margin-top: 6px; font-variant-numeric: tabular-nums; }
.words { margin: 6px 0 0; white-space: pre-line; font-size: 13px; color: #555; }
)";

// Everything the script needs is in the page's markup, so no text of the
// talk is ever put into script.
const char pageScript[] = R"(
(function () {
  var player = document.getElementById('player');
  var filter = document.getElementById('filter');
  var tiles = Array.prototype.slice.call(document.querySelectorAll('.tile'));
  var current = -1;

  function select(index) {
    current = index;
    tiles.forEach(function (tile, i) { tile.classList.toggle('current', i === index); });
    tiles[index].focus();
    player.currentTime = parseFloat(tiles[index].getAttribute('data-start'));
  }
  function play(index) {
    select(index);
    var started = player.play();
    // A browser may refuse to play before the user has touched the page.
    if (started) started.catch(function () {});
  }
  tiles.forEach(function (tile, i) {
    tile.addEventListener('click', function () { play(i); });
  });

  document.addEventListener('keydown', function (event) {
    if (event.target === filter || event.target === player) return;
    var step = { ArrowRight: 1, ArrowDown: 1, ArrowLeft: -1, ArrowUp: -1 }[event.key];
    if (!step) return;
    event.preventDefault();
    for (var i = current + step; i >= 0 && i < tiles.length; i += step) {
      if (!tiles[i].hidden) { select(i); return; }
    }
  });

  if (!filter) return;
  filter.addEventListener('input', function () {
    var words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    tiles.forEach(function (tile) {
      var text = (tile.getAttribute('data-text') || '').toLowerCase();
      tile.hidden = words.length > 0 &&
        !words.every(function (word) { return text.indexOf(word) >= 0; });
    });
  });
})();
)";

// Relative to the page's folder, so the page, its slides and the video can
// be moved or served together.
QString linkFrom(const QDir &pageDir, const QString &path)
{
    // A stream or a URL that ffmpeg read is linked as it is.
    if (path.contains(QLatin1String("://")))
        return QString::fromUtf8(QUrl::fromUserInput(path).toEncoded());
    return urlPath(pageDir.relativeFilePath(QFileInfo(path).absoluteFilePath()));
}

QString startSeconds(const SlideRecord &row, int fps)
{
    return QString::number(double(row.segment.startFrame) / fps, 'f',
                           QLocale::FloatingPointShortest);
}

bool searchable(const RunSummary &run)
{
    return run.textsRead || run.speechGiven;
}

// What the filter searches a tile by: the words read on it and the words
// spoken while it showed.
QString dataText(const SlideRecord &row, const RunSummary &run)
{
    if (!searchable(run))
        return QString();
    const QString words = QStringList{row.text, row.speech}
                              .filter(QRegularExpression(QStringLiteral("\\S")))
                              .join(QLatin1Char('\n'));
    return QStringLiteral(" data-text=\"%1\"").arg(words.toHtmlEscaped());
}

QString spokenParagraph(const SlideRecord &row)
{
    if (row.speech.isEmpty())
        return QString();
    return QStringLiteral("<p class=\"words speech\">%1</p>\n").arg(row.speech.toHtmlEscaped());
}

QString slideTile(const SlideRecord &row, int fps, const QDir &pageDir, const RunSummary &run)
{
    const QString &text = row.text;
    QString tile =
        QStringLiteral("<figure class=\"tile slide\" tabindex=\"0\" data-start=\"%1\"%2>\n"
                       "<img src=\"%3\" alt=\"Slide %4\">\n"
                       "<figcaption>Slide %4 &middot; %5%6</figcaption>\n")
            .arg(startSeconds(row, fps), dataText(row, run),
                 linkFrom(pageDir, row.image).toHtmlEscaped(), QString::number(row.number),
                 segmentTimes(row.segment, fps), pageNote(row, QStringLiteral(" &middot; ")));
    if (!text.isEmpty())
        tile += QStringLiteral("<p class=\"words\">%1</p>\n").arg(text.toHtmlEscaped());
    return tile + spokenParagraph(row) + QStringLiteral("</figure>\n");
}

QString videoTile(const SlideRecord &row, int fps, const RunSummary &run)
{
    return QStringLiteral("<figure class=\"tile video\" tabindex=\"0\" data-start=\"%1\"%5>\n"
                          "<div class=\"moving\">%2</div>\n"
                          "<figcaption>Video %3 &middot; %4</figcaption>\n")
               .arg(startSeconds(row, fps), row.segment.videoLabel.toHtmlEscaped(),
                    QString::number(row.number), segmentTimes(row.segment, fps),
                    run.speechGiven ? dataText(row, run) : QString()) +
           spokenParagraph(row) + QStringLiteral("</figure>\n");
}

QString page(const QList<SlideRecord> &rows, int fps, const QDir &pageDir, const RunSummary &run)
{
    const QString title = QFileInfo(run.input).fileName().toHtmlEscaped();
    QString html =
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>%1</title>\n<style>%2</style>\n</head>\n<body>\n<header>\n"
                       "<h1>%1</h1>\n"
                       "<video id=\"player\" controls preload=\"metadata\" src=\"%3\"></video>\n")
            .arg(title, QLatin1String(pageStyle), linkFrom(pageDir, run.input).toHtmlEscaped());
    if (searchable(run))
        html += QStringLiteral("<input id=\"filter\" type=\"search\" "
                               "placeholder=\"Find slides by their words\" "
                               "aria-label=\"Find slides by their words\">\n");
    html += QStringLiteral("</header>\n<main id=\"grid\">\n");
    for (const SlideRecord &row : rows)
        html += row.isVideo() ? videoTile(row, fps, run) : slideTile(row, fps, pageDir, run);
    return html + QStringLiteral("</main>\n<script>%1</script>\n</body>\n</html>\n")
                      .arg(QLatin1String(pageScript));
}

} // namespace

bool writeHtmlPage(const QString &path, const QList<SlideRecord> &records, int fps,
                   const RunSummary &run, const std::function<bool()> &stop, QString *failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *failure = file.errorString();
        return false;
    }
    const QDir pageDir(QFileInfo(path).absolutePath());
    file.write(page(records, fps, pageDir, run).toUtf8());
    if (stop && stop()) {
        file.cancelWriting();
        return false;
    }
    return commitWhole(file, failure);
}
