#include "output.h"

#include <QImageReader>
#include <QObject>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

namespace
{

// Each picture once, in the order of its first showing.
QStringList pictureFiles(const QList<Segment> &segments)
{
    QStringList files = slideImageNames(segments);
    files.removeDuplicates();
    return files;
}

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

// One page per slide file, read one at a time so that memory holds one
// slide whatever their number.
bool paintSlides(QPdfWriter &writer, const QStringList &files, const QDir &outDir, QString *failure)
{
    QPainter painter;
    for (int number = 1; number <= files.size(); ++number) {
        const QString path = outDir.filePath(files.at(number - 1));
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

bool writeSlidesPdf(const QString &path, const QList<Segment> &segments, const QDir &outDir,
                    const QString &title, QString *failure)
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
        if (!paintSlides(writer, pictureFiles(segments), outDir, failure))
            return false; // the save file removes its temporary file as it goes
    }
    return commitWhole(file, failure);
}
