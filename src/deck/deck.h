// The slides as the speaker made them: a PDF deck, its pages rendered once
// at a small working size, and each slide of the talk matched to the page
// it shows.
#pragma once

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

// A picture reduced to what matching needs: its content (uniform borders
// such as the bars around a fitted page left out) as a small grey grid.
// A few kilobytes, so that a long talk can keep one per slide.
struct PictureLook {
    QByteArray grey; // lookWidth x lookHeight levels, row by row; empty: no content
};

constexpr int lookWidth = 128;
constexpr int lookHeight = 96;

// What a picture looks like for matching; the same for pages and slides, so
// that the two compare.
PictureLook lookOf(const QImage &picture);

// A deck as the run keeps it: the file, and per page its look, its words and
// its size in points.
struct Deck {
    QString path;
    QList<PictureLook> looks;
    QStringList texts;
    QList<QSizeF> pageSizes;
};

// Opens the PDF at path and renders every page at the working size. No
// deck, with the reason in *error, for a file that cannot be read, is no
// PDF, is encrypted or has no pages.
std::optional<Deck> loadDeck(const QString &path, QString *error);

// Page number (from 1) of deck rendered at size, or a null image when it
// cannot be rendered.
QImage renderPage(const Deck &deck, int page, QSize size);

// The size to render a page at for a slide picture of pictureSize: that
// size when the page has about its shape, else the page's own shape at the
// picture's height.
QSize pageRenderSize(QSizeF pageSize, QSize pictureSize);

// The first line of a page's words, as its title; empty for a page without
// words.
QString pageTitle(const QString &text);

// The page (from 1) each slide shows, in the slides' time order, or none
// for a slide that is no page of the deck. A slide without a look (none was
// taken) gets none. The whole sequence is aligned at once: a talk mostly
// goes forward a page or stays, sometimes jumps and comes back, and pages
// that differ only by a build are told apart where they differ.
QList<std::optional<int>> matchPages(const QList<PictureLook> &slides, const Deck &deck);
