// Slide text: the words on each slide image, read with Tesseract on every
// core at once.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Whether Tesseract has data for every language of languages ("eng", or
// several joined with '+' as in "eng+deu"); if not, *missing is the first
// it lacks. Cheap enough to ask before any other work starts.
bool ocrLanguagesAvailable(const QString &languages, QString *missing);

// What the caller of readSlideTexts can ask for while it reads: a stop,
// which it notices within a fraction of a slide, and word of each picture
// read (the count so far, from whichever reading thread read it).
struct OcrControl {
    std::function<bool()> stop;
    std::function<void(int read)> progress;
};

// The text of each image in imagePaths, at the same position in *texts,
// read in the given languages: lines of words, one line per line of text,
// with no blank lines. Returns false, with the reason in *failure, when an
// image cannot be read or Tesseract cannot start; and false, with *failure
// empty, when control.stop asked it to stop.
bool readSlideTexts(const QStringList &imagePaths, const QString &languages,
                    const OcrControl &control, QStringList *texts, QString *failure);
