#include "deck.h"

#include <QFile>
#include <QObject>

#include <poppler-qt6.h>

#include <cmath>
#include <memory>

namespace
{

// The width pages are rendered at for their looks: more than lookOf keeps,
// so that it reduces them as it reduces slides.
constexpr double workingWidth = 320.0;

std::unique_ptr<Poppler::Document> openDocument(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return nullptr;
    }
    file.close();
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document) {
        *error = QObject::tr("not a PDF file");
        return nullptr;
    }
    if (document->isLocked()) {
        *error = QObject::tr("the file is encrypted");
        return nullptr;
    }
    if (document->numPages() <= 0) {
        *error = QObject::tr("the deck has no pages");
        return nullptr;
    }
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    return document;
}

QImage rendered(Poppler::Page &page, QSize size)
{
    const QSizeF points = page.pageSizeF();
    if (points.width() <= 0 || points.height() <= 0 || size.isEmpty())
        return {};
    return page.renderToImage(72.0 * size.width() / points.width(),
                              72.0 * size.height() / points.height(), 0, 0, size.width(),
                              size.height());
}

} // namespace

std::optional<Deck> loadDeck(const QString &path, QString *error)
{
    const std::unique_ptr<Poppler::Document> document = openDocument(path, error);
    if (!document)
        return std::nullopt;
    Deck deck;
    deck.path = path;
    for (int i = 0; i < document->numPages(); ++i) {
        const std::unique_ptr<Poppler::Page> page = document->page(i);
        if (!page) {
            *error = QObject::tr("page %1 cannot be read").arg(i + 1);
            return std::nullopt;
        }
        const QSizeF points = page->pageSizeF();
        const QSize working(int(workingWidth),
                            std::max(1, int(std::lround(workingWidth * points.height() /
                                                        std::max(1.0, points.width())))));
        const QImage picture = rendered(*page, working);
        if (picture.isNull()) {
            *error = QObject::tr("page %1 cannot be rendered").arg(i + 1);
            return std::nullopt;
        }
        deck.looks.append(lookOf(picture));
        deck.texts.append(page->text(QRectF()).trimmed());
        deck.pageSizes.append(points);
    }
    return deck;
}

QImage renderPage(const Deck &deck, int page, QSize size)
{
    QString error;
    const std::unique_ptr<Poppler::Document> document = openDocument(deck.path, &error);
    if (!document || page < 1 || page > document->numPages())
        return {};
    const std::unique_ptr<Poppler::Page> pdfPage = document->page(page - 1);
    return pdfPage ? rendered(*pdfPage, size) : QImage();
}

QSize pageRenderSize(QSizeF pageSize, QSize pictureSize)
{
    if (pageSize.isEmpty() || pictureSize.isEmpty())
        return pictureSize;
    const double pageShape = pageSize.width() / pageSize.height();
    const double pictureShape = double(pictureSize.width()) / pictureSize.height();
    // Within 2%: the picture is the page, cut a pixel or two differently.
    if (std::abs(pageShape / pictureShape - 1.0) <= 0.02)
        return pictureSize;
    return QSize(std::max(1, int(std::lround(pictureSize.height() * pageShape))),
                 pictureSize.height());
}

QString pageTitle(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString title = line.simplified();
        if (!title.isEmpty())
            return title;
    }
    return {};
}
