#include "app.h"
#include "deck.h"
#include "output.h"

#include <QImageReader>
#include <QObject>

namespace
{

// The look of every slide in time order; a repeat that dedupe kept from the
// slide stages looks as the slide it repeats.
QList<PictureLook> slideLooks(const Talk &talk, QList<int> *slideRows)
{
    QList<PictureLook> looks;
    for (int row = 0; row < talk.records.size(); ++row) {
        const SlideRecord &record = talk.records[row];
        if (record.isVideo())
            continue;
        const int shown = record.repeatOf > 0 ? record.repeatOf : record.number;
        const auto look = talk.looks.find(shown);
        looks.append(look != talk.looks.end() ? look->second : PictureLook());
        slideRows->append(row);
    }
    return looks;
}

// Each slide file that shows a page becomes that page, rendered at the
// size of the picture it replaces; a picture shown again is one file.
std::optional<RunError> writeDeckImages(const Deck &deck, const QList<SlideRecord> &records)
{
    for (const SlideRecord &record : records) {
        if (record.isVideo() || record.repeatOf > 0 || !record.page || record.image.isEmpty())
            continue;
        const QSize size =
            pageRenderSize(deck.pageSizes[*record.page - 1], QImageReader(record.image).size());
        const QImage page = renderPage(deck, *record.page, size);
        if (page.isNull())
            return RunError{
                RunError::WriteSlide, record.image,
                QObject::tr("page %1 of %2 cannot be rendered").arg(*record.page).arg(deck.path)};
        QString error;
        if (!writeSlide(page.convertToFormat(QImage::Format_RGB888), record.image, &error))
            return RunError{RunError::WriteSlide, record.image, error};
    }
    return std::nullopt;
}

} // namespace

bool loadDeckAsked(const RunOptions &options, Deck *deck)
{
    if (options.deckPath.isEmpty())
        return true;
    QString error;
    std::optional<Deck> loaded = loadDeck(options.deckPath, &error);
    if (!loaded) {
        writeMessage(QObject::tr("cannot read deck %1: %2\n").arg(options.deckPath, error));
        return false;
    }
    *deck = std::move(*loaded);
    return true;
}

RecordSink describingSlides(RecordSink next, const RunOptions &options,
                            std::map<int, PictureLook> *looks)
{
    if (options.deckPath.isEmpty())
        return next;
    // A picture that was not cut to the slide is matched by the slide found
    // in it, straightened, as --crop auto would cut it (and followed from
    // slide to slide the same way), so that bars, a wall or a room around
    // the page play no part.
    const bool cut = options.crop.automatic || !options.crop.rect.isNull();
    auto report = std::make_shared<CropReport>();
    std::shared_ptr<SlideCutter> cutter = cut ? nullptr : slideCutter(report.get());
    return [next = std::move(next), looks, report, cutter](SlideRecord &slide,
                                                           const QImage &picture) {
        (*looks)[slide.number] = lookOf(cutter ? cutToSlide(*cutter, {picture}).first() : picture);
        return !next || next(slide, picture);
    };
}

std::optional<RunError> matchTalkToDeck(const RunOptions &options, const Deck &deck, Talk *talk,
                                        RunSummary *run)
{
    if (options.deckPath.isEmpty())
        return std::nullopt;
    run->pagesMatched = true;
    for (const QString &text : deck.texts)
        run->pageTitles.append(pageTitle(text));
    QList<int> slideRows;
    const QList<std::optional<int>> pages = matchPages(slideLooks(*talk, &slideRows), deck);
    bool anyMatched = false;
    for (int s = 0; s < slideRows.size(); ++s) {
        SlideRecord &record = talk->records[slideRows[s]];
        record.page = pages[s];
        anyMatched = anyMatched || record.page.has_value();
        // The page's own words, exactly, rather than what was read off a
        // picture of it.
        if (record.page && !options.ocrLanguages.isEmpty())
            record.text = deck.texts[*record.page - 1];
    }
    talk->looks.clear();
    if (!slideRows.isEmpty() && !anyMatched)
        writeMessage(QObject::tr("no slide matches a page of deck %1\n").arg(options.deckPath));
    return options.deckImages ? writeDeckImages(deck, talk->records) : std::nullopt;
}
