#include "reading.h"
#include "slidefiles.h"

#include <QFontMetrics>
#include <QImageReader>
#include <QObject>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

namespace
{

// At 72 dots per inch a point is a pixel: the page is the slide's own size
// in whole points, so its shape is exactly the slide's, and the picture
// fills it pixel for pixel.
QPageLayout pageFor(const QImage &slide)
{
    // An exact match only: a slide that happens to lie near a paper size
    // must not take that size's slightly different shape.
    return QPageLayout(QPageSize(slide.size(), QString(), QPageSize::ExactMatch),
                       QPageLayout::Portrait, QMarginsF());
}

// The words go under the picture, which hides them: readers find, select
// and copy them, and nobody sees them. They are set as large as fits the
// page, which keeps them legible to readers that extract text by size.
void paintHiddenText(QPainter &painter, const QSize &page, const QString &text)
{
    if (text.isEmpty())
        return;
    const QRect area(QPoint(0, 0), page);
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
    QFont font(QStringLiteral("DejaVu Sans"));
    // No "ff" or "fi" joined into one ligature glyph, which text
    // extraction would give back as that one character, and a search for
    // "office" would miss.
    font.setStyleStrategy(QFont::PreferNoShaping);
    for (int pixels = std::max(8, page.height() / 12); pixels >= 2; pixels = pixels * 4 / 5) {
        font.setPixelSize(pixels);
        if (area.contains(QFontMetrics(font, painter.device()).boundingRect(area, flags, text)))
            break;
    }
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(area, flags, text);
}

// Each picture once, in the order of its first showing: a repeat shows an
// earlier slide's file again.
QList<const SlideRecord *> picturesOnce(const QList<SlideRecord> &records)
{
    QList<const SlideRecord *> slides;
    for (const SlideRecord &record : records) {
        if (!record.isVideo() && record.repeatOf == 0)
            slides.append(&record);
    }
    return slides;
}

// One page per slide file, read one at a time so that memory holds one
// slide whatever their number.
bool paintSlides(QPdfWriter &writer, const QList<const SlideRecord *> &slides,
                 const WriteControl &control, QString *failure)
{
    QPainter painter;
    for (int number = 1; number <= slides.size(); ++number) {
        if (control.stop && control.stop())
            return false;
        if (control.progress)
            control.progress(number - 1);
        const QString &path = slides.at(number - 1)->image;
        QImageReader reader(path);
        const QImage slide = reader.read();
        if (slide.isNull()) {
            *failure = QObject::tr("cannot read %1: %2").arg(path, reader.errorString());
            return false;
        }
        writer.setPageLayout(pageFor(slide));
        if (number > 1)
            writer.newPage();
        else if (!painter.begin(&writer)) {
            *failure = QObject::tr("cannot start the PDF");
            return false;
        }
        // Slides are mostly text and flat colour, which JPEG would blur.
        painter.setRenderHint(QPainter::LosslessImageRendering);
        paintHiddenText(painter, slide.size(), slides.at(number - 1)->text);
        painter.drawImage(QRect(QPoint(0, 0), slide.size()), slide);
    }
    // Without a slide the document still needs a page: it gets one blank
    // page of the default size.
    if (!painter.isActive() && !painter.begin(&writer)) {
        *failure = QObject::tr("cannot start the PDF");
        return false;
    }
    return painter.end();
}

} // namespace

bool writeSlidesPdf(const QString &path, const QList<SlideRecord> &records, const QString &title,
                    const WriteControl &control, QString *failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *failure = file.errorString();
        return false;
    }
    {
        // The writer finishes the document when it goes, before the commit.
        QPdfWriter writer(&file);
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("stillsift"));
        writer.setResolution(72);
        if (!paintSlides(writer, picturesOnce(records), control, failure))
            return false; // the save file removes its temporary file as it goes
    }
    if (control.progress)
        control.progress(int(picturesOnce(records).size()));
    return commitWhole(file, failure);
}
