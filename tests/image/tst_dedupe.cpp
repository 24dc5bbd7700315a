// Telling pictures apart for --dedupe: the same page shown again matches
// through noise, a small shift and another exposure; a page with a line
// more or a line recoloured does not; and the sink hands on only pictures
// not shown before.
#include "image.h"
#include "slidepages.h"

#include <QTest>

namespace
{

const QSize pageSize(400, 300);

QImage shifted(const QImage &picture, int dx, int dy)
{
    QImage moved(picture.size(), QImage::Format_RGB32);
    moved.fill(Qt::white);
    QPainter(&moved).drawImage(dx, dy, picture);
    return moved;
}

QImage dimmed(const QImage &picture, double gain, int offset)
{
    QImage result = picture;
    for (int y = 0; y < result.height(); ++y)
        for (int x = 0; x < result.width(); ++x) {
            const QRgb p = result.pixel(x, y);
            const auto level = [&](int v) { return std::clamp(int(v * gain) + offset, 0, 255); };
            result.setPixel(x, y, qRgb(level(qRed(p)), level(qGreen(p)), level(qBlue(p))));
        }
    return result;
}

} // namespace

class Dedupe : public QObject
{
    Q_OBJECT

  private slots:
    void samePicture_data();
    void samePicture();
    void repeatsReuseTheFirstShowing();
    void slideRightAfterAnotherIsNeverItsRepeat();
};

void Dedupe::samePicture_data()
{
    QTest::addColumn<QImage>("other");
    QTest::addColumn<bool>("same");

    const QImage page = slidePage(pageSize);
    QTest::newRow("the same page with noise") << withNoise(page, 8, 3) << true;
    QTest::newRow("shifted by a pixel and dimmed")
        << withNoise(dimmed(shifted(page, 1, 1), 0.85, 10), 4, 5) << true;
    QTest::newRow("a build: one line more") << slidePage(pageSize, 4, 1) << false;
    // Red and a grey of about the same brightness.
    QTest::newRow("one line recoloured") << slidePage(pageSize, 4, 0, QColor(200, 30, 30)) << false;
    QTest::newRow("another page") << slidePage(pageSize, 2) << false;
}

void Dedupe::samePicture()
{
    QFETCH(QImage, other);
    QFETCH(bool, same);

    const PictureSignature first = pictureSignature(slidePage(pageSize));
    QCOMPARE(::samePicture(first, pictureSignature(other)), same);
    QCOMPARE(::samePicture(pictureSignature(other), first), same);
}

void Dedupe::repeatsReuseTheFirstShowing()
{
    const QImage a = slidePage(pageSize, 3);
    const QImage aBuilt = slidePage(pageSize, 3, 1);
    const QImage b = slidePage(pageSize, 5);
    const QList<QImage> shown{a, b, withNoise(a, 5, 1), aBuilt, withNoise(aBuilt, 5, 2), b};

    QList<QImage> handedOn;
    const RecordSink stage = dedupingSlides([&](SlideRecord &slide, const QImage &picture) {
        handedOn.append(picture);
        slide.image = QStringLiteral("file %1").arg(handedOn.size());
        return true;
    });
    QList<SlideRecord> slides;
    for (const QImage &picture : shown) {
        slides.append({Segment(), int(slides.size()) + 1});
        QVERIFY(stage(slides.last(), picture));
    }
    QList<int> repeatOf;
    QStringList images;
    for (const SlideRecord &slide : slides) {
        repeatOf.append(slide.repeatOf);
        images.append(slide.image);
    }
    QCOMPARE(repeatOf, QList<int>({0, 0, 1, 0, 4, 2}));
    // A repeat names the file its first showing was written to.
    QCOMPARE(images, QStringList({QStringLiteral("file 1"), QStringLiteral("file 2"),
                                  QStringLiteral("file 1"), QStringLiteral("file 3"),
                                  QStringLiteral("file 3"), QStringLiteral("file 2")}));
    QCOMPARE(handedOn, QList<QImage>({a, b, aBuilt}));
}

void Dedupe::slideRightAfterAnotherIsNeverItsRepeat()
{
    // One line recoloured at the same brightness: too fine for the small
    // copies, but the walk saw the change between the two slides.
    const QImage a = slidePage(pageSize, 3);
    const QImage recoloured = slidePage(pageSize, 3, 0, QColor(58, 0, 30));
    QVERIFY(::samePicture(pictureSignature(a), pictureSignature(recoloured)));

    QList<int> repeatOf;
    const RecordSink stage = dedupingSlides([](SlideRecord &, const QImage &) { return true; });
    const auto sink = [&](int start, int end, const QImage &picture) {
        SlideRecord slide{{start, end, start, false, {}}, int(repeatOf.size()) + 1};
        const bool handedOn = stage(slide, picture);
        repeatOf.append(slide.repeatOf);
        return handedOn;
    };
    QVERIFY(sink(0, 9, a));
    QVERIFY(sink(10, 19, recoloured));
    // Apart, by a clip in frames 20 to 29, they are taken for one picture.
    QVERIFY(sink(30, 39, a));
    QCOMPARE(repeatOf, QList<int>({0, 0, 1}));
}

QTEST_GUILESS_MAIN(Dedupe)
#include "tst_dedupe.moc"
