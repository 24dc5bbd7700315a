// --deck through the built binary: a deck drawn in the test (a build among
// its pages) matched from a talk made with the real ffmpeg, alike through
// frame files and --pipe, with a return to an earlier page and a picture
// that is no page; --deck-images; and every deck that cannot be read
// refused before anything is done.
#include "slidepages.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QSize pageSize(480, 360);

// Page `index` of the deck (from 1), drawn on painter over pageSize: a
// title in words and boxes laid out differently on each page. A build is
// the page with one more box.
void drawPage(QPainter &painter, int index, bool build)
{
    const int w = pageSize.width();
    painter.fillRect(QRect(QPoint(0, 0), pageSize), Qt::white);
    painter.fillRect(QRect(0, 0, w, 60), QColor(40, 40, 140));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(28);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(20, 10, w - 40, 40), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Title %1").arg(index));
    for (int k = 0; k < 3; ++k) {
        const int x = 30 + ((index * 37 + k * 53) % 5) * 50;
        painter.fillRect(QRect(x, 90 + k * 60, 160 - (index * 23 + k * 31) % 80, 30),
                         QColor(20 + 60 * k, 120, 220 - 70 * k));
    }
    if (build)
        painter.fillRect(QRect(60, 290, 300, 24), QColor(200, 40, 40));
}

QImage pagePicture(int index, bool build)
{
    QImage picture(pageSize, QImage::Format_RGB32);
    QPainter painter(&picture);
    drawPage(painter, index, build);
    return picture;
}

// Pages: 1, 2, 2 with its build (page 3), 4, 5, drawn at one point per
// pixel of pageSize.
void writeDeck(const QString &path)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QSizeF(pageSize), QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(72);
    QPainter painter(&writer);
    const QList<QPair<int, bool>> pages{{1, false}, {2, false}, {2, true}, {4, false}, {5, false}};
    for (int k = 0; k < pages.size(); ++k) {
        if (k > 0)
            writer.newPage();
        drawPage(painter, pages[k].first, pages[k].second);
    }
}

// A picture that is no page: two lines of words over a photo of rings.
QImage photo()
{
    QImage picture(pageSize, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRect(0, 160, pageSize.width(), 200), QColor(90, 140, 60));
    painter.setPen(Qt::NoPen);
    for (int k = 0; k < 6; ++k) {
        painter.setBrush(QColor(40 * k, 200 - 30 * k, 120));
        painter.drawEllipse(QPoint(240, 260), 120 - 18 * k, 70 - 10 * k);
    }
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(40);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QRect(24, 20, 440, 56), Qt::AlignLeft | Qt::AlignTop,
                     QStringLiteral("Harbour lights"));
    painter.drawText(QRect(24, 76, 440, 56), Qt::AlignLeft | Qt::AlignTop,
                     QStringLiteral("from the pier"));
    return picture;
}

// A minimal PDF of the given objects (object 1 the catalogue), with a true
// cross-reference table.
QByteArray minimalPdf(const QStringList &objects, const QString &trailerExtra = {})
{
    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets.append(out.size());
        out += QStringLiteral("%1 0 obj\n%2\nendobj\n").arg(i + 1).arg(objects[i]).toLatin1();
    }
    const qsizetype xref = out.size();
    out += QStringLiteral("xref\n0 %1\n0000000000 65535 f \n").arg(objects.size() + 1).toLatin1();
    for (const qsizetype offset : offsets)
        out += QStringLiteral("%1 00000 n \n").arg(offset, 10, 10, QLatin1Char('0')).toLatin1();
    out += QStringLiteral("trailer\n<< /Size %1 /Root 1 0 R %2>>\nstartxref\n%3\n%%EOF\n")
               .arg(objects.size() + 1)
               .arg(trailerExtra)
               .arg(xref)
               .toLatin1();
    return out;
}

QList<QJsonValue> fieldOf(const QByteArray &report, const QString &field)
{
    QList<QJsonValue> values;
    const QJsonArray segments =
        QJsonDocument::fromJson(report).object().value(QStringLiteral("segments")).toArray();
    for (const QJsonValue &segment : segments)
        values.append(segment.toObject().value(field));
    return values;
}

QList<QJsonValue> pagesOf(const QByteArray &report)
{
    return fieldOf(report, QStringLiteral("page"));
}

} // namespace

class DeckRuns : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void unreadableDeckRefused_data();
    void unreadableDeckRefused();
    void deckImagesNeedADeck();
    void talkMatchedToItsDeck();

  private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void DeckRuns::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void DeckRuns::unreadableDeckRefused_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::addColumn<QString>("reason");

    const QString catalogue = QStringLiteral("<< /Type /Catalog /Pages 2 0 R >>");
    QTest::newRow("missing") << QByteArray() << "No such file or directory";
    QTest::newRow("not a PDF") << QByteArray("slides, but as words\n") << "not a PDF file";
    QTest::newRow("no pages")
        << minimalPdf({catalogue, QStringLiteral("<< /Type /Pages /Kids [] /Count 0 >>")})
        << "the deck has no pages";
    // Only the user password opens it, and it is not the empty one.
    QTest::newRow("encrypted")
        << minimalPdf({catalogue, QStringLiteral("<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
                       QStringLiteral("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] >>"),
                       QStringLiteral("<< /Filter /Standard /V 1 /R 2 /O <%1> /U <%2> /P -4 >>")
                           .arg(QString(64, QLatin1Char('1')), QString(64, QLatin1Char('2')))},
                      QStringLiteral("/Encrypt 4 0 R /ID [<0123456789abcdef0123456789abcdef> "
                                     "<0123456789abcdef0123456789abcdef>] "))
        << "the file is encrypted";
}

// Refused before ffmpeg starts and before the output folder is made.
void DeckRuns::unreadableDeckRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);

    if (!content.isEmpty())
        writeFile(path(QStringLiteral("deck.pdf")), content);
    const QString bin = path(QStringLiteral("bin"));
    writeFakeFfmpeg(bin, recordArgumentsBody(path(QStringLiteral("argv"))));
    const RunResult result =
        runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out"),
                      QStringLiteral("--deck=deck.pdf")},
                     m_dir->path(), environmentWithPath(bin));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QString::fromUtf8(result.err),
             QStringLiteral("cannot read deck deck.pdf: %1\n").arg(reason));
    QVERIFY(result.out.isEmpty());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out"))));
    QVERIFY(recordedArguments(path(QStringLiteral("argv"))).isEmpty());
}

void DeckRuns::deckImagesNeedADeck()
{
    const RunResult result =
        runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck-images")},
                     m_dir->path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("--deck-images needs --deck\n"));
}

// Pages 1, 2, its build, 4, back to the build, a photo, 5, 4 s each, the 4:3 page
// in the middle of a 16:9 picture with black bars; the deck holds them all
// but the photo (and the build is its own page 3).
void DeckRuns::talkMatchedToItsDeck()
{
    writeDeck(path(QStringLiteral("deck.pdf")));
    const QList<QImage> shown{pagePicture(1, false), pagePicture(2, false), pagePicture(2, true),
                              pagePicture(4, false), pagePicture(2, true),  photo(),
                              pagePicture(5, false)};
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                          QStringLiteral("error")};
    QString graph;
    QString inputs;
    for (int k = 0; k < shown.size(); ++k) {
        const QString still = path(QStringLiteral("shown%1.png").arg(k));
        writePng(still, shown.at(k));
        arguments << QStringLiteral("-loop") << QStringLiteral("1") << QStringLiteral("-framerate")
                  << QStringLiteral("25") << QStringLiteral("-t") << QStringLiteral("4")
                  << QStringLiteral("-i") << still;
        graph += QStringLiteral("[%1:v]pad=640:360:80:0:black,setsar=1[p%1];").arg(k);
        inputs += QStringLiteral("[p%1]").arg(k);
    }
    graph += inputs + QStringLiteral("concat=n=%1:v=1:a=0,format=yuv420p[v]").arg(shown.size());
    arguments << QStringLiteral("-filter_complex") << graph << QStringLiteral("-map")
              << QStringLiteral("[v]") << QStringLiteral("-c:v") << QStringLiteral("libx264")
              << QStringLiteral("-crf") << QStringLiteral("18") << path(QStringLiteral("talk.mp4"));
    QCOMPARE(runProgram(QStringLiteral("ffmpeg"), arguments, m_dir->path(),
                        QProcessEnvironment::systemEnvironment())
                 .exitCode,
             0);

    const QList<QJsonValue> expected{1, 2, 3, 4, 3, QJsonValue(), 5};
    for (const bool pipe : {false, true}) {
        QStringList options{QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck=deck.pdf"),
                            QStringLiteral("--format=json"),
                            pipe ? QStringLiteral("--out=piped") : QStringLiteral("--out=files")};
        if (pipe)
            options << QStringLiteral("--pipe");
        const RunResult result =
            runStillsift(options, m_dir->path(), QProcessEnvironment::systemEnvironment());
        QCOMPARE(result.exitCode, 0);
        QVERIFY(!result.err.contains("no slide matches"));
        QVERIFY2(pagesOf(result.out) == expected, result.out.constData());
    }

    // The other formats and the page show the same pages, and nothing for
    // the photo.
    const auto report = [this](const QString &format, const QStringList &more = {}) {
        const RunResult result = runStillsift(
            QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck=deck.pdf"),
                        QStringLiteral("--pipe"), QStringLiteral("--out=formats"),
                        QStringLiteral("--format=") + format} +
                more,
            m_dir->path(), QProcessEnvironment::systemEnvironment());
        [&] { QCOMPARE(result.exitCode, 0); }();
        return QString::fromUtf8(result.out);
    };
    QStringList csvPages;
    const QStringList csvRows = report(QStringLiteral("csv")).split(QStringLiteral("\r\n"));
    for (const QString &row : csvRows.mid(0, 8))
        csvPages.append(row.section(QLatin1Char(','), -1));
    QCOMPARE(csvPages, QStringLiteral("page,1,2,3,4,3,,5").split(QLatin1Char(',')));
    const QString markdown =
        report(QStringLiteral("markdown"), {QStringLiteral("--html=talk.html")});
    QVERIFY(markdown.contains(QStringLiteral("## Slide 3 (00:00:08 - 00:00:11), page 3\n")));
    QVERIFY(markdown.contains(QStringLiteral("## Slide 6 (00:00:20 - 00:00:23)\n")));
    const QString html = QString::fromUtf8(readFile(path(QStringLiteral("talk.html"))));
    QCOMPARE(html.count(QStringLiteral(" &middot; page ")), 6);
    QVERIFY(html.contains(QStringLiteral("00:00:12 - 00:00:15 &middot; page 4</figcaption>")));
    QVERIFY(report(QStringLiteral("ffmetadata")).contains(QStringLiteral("title=Title 4\n")));

    // With --ocr the matched slides take their pages' own words; only the
    // photo, which no page shows, is read.
    const RunResult read =
        runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck=deck.pdf"),
                      QStringLiteral("--pipe"), QStringLiteral("--out=read"),
                      QStringLiteral("--format=json"), QStringLiteral("--ocr=eng")},
                     m_dir->path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(read.exitCode, 0);
    const QList<QJsonValue> texts = fieldOf(read.out, QStringLiteral("text"));
    QCOMPARE(texts.size(), 7);
    QCOMPARE(texts[0].toString(), QStringLiteral("Title 1"));
    QCOMPARE(texts[4].toString(), QStringLiteral("Title 2"));
    QVERIFY2(texts[5].toString().contains(QStringLiteral("pier")), qPrintable(texts[5].toString()));

    // A deck of none of these pages: the run still succeeds, says so once
    // and gives no slide a page.
    {
        QPdfWriter writer(path(QStringLiteral("other.pdf")));
        writer.setPageSize(QPageSize(QSizeF(pageSize), QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setResolution(72);
        QPainter painter(&writer);
        for (int x = -360; x < 480; x += 40)
            painter.fillRect(QRect(x + 20, 0, 20, 360), QColor(200, 120, 0));
    }
    const RunResult other = runStillsift(
        {QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck=other.pdf"),
         QStringLiteral("--pipe"), QStringLiteral("--out=other"), QStringLiteral("--format=json")},
        m_dir->path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(other.exitCode, 0);
    QCOMPARE(other.err.count("no slide matches a page of deck other.pdf\n"), 1);
    QCOMPARE(pagesOf(other.out), QList<QJsonValue>(7, QJsonValue()));

    // The matched slides' files become their pages, at the picture's height
    // in the page's shape; the photo keeps the video's picture. Chapters
    // take the pages' titles.
    const RunResult result =
        runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--deck=deck.pdf"),
                      QStringLiteral("--deck-images"), QStringLiteral("--format=vtt"),
                      QStringLiteral("--out=pages")},
                     m_dir->path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 0);
    const QStringList titles =
        QString::fromUtf8(result.out).split(QLatin1Char('\n')).filter(QStringLiteral("Title"));
    QCOMPARE(
        titles,
        QStringLiteral("Title 1,Title 2,Title 2,Title 4,Title 2,Title 5").split(QLatin1Char(',')));
    QVERIFY(result.out.contains("\nSlide 6\n"));
    for (int k = 0; k < shown.size(); ++k) {
        const QImage slide(
            path(QStringLiteral("pages/slide_%1.png").arg(k + 1, 4, 10, QLatin1Char('0'))));
        if (k == 5) {
            QCOMPARE(slide.size(), QSize(640, 360));
            continue;
        }
        QCOMPARE(slide.size(), pageSize);
        QVERIFY2(meanDifference(slide, shown.at(k)) < 4.0, qPrintable(QString::number(k)));
    }
}

QTEST_MAIN(DeckRuns)
#include "tst_deck.moc"
