// Slide text: the words on each slide image, read with Tesseract on every
// core at once.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

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

// Reads the words of slide pictures handed to it, on threads of its own
// (one Tesseract each), while the caller goes on; texts are lines of words,
// one line per line of text, with no blank lines.
struct SlideReader;

// A reader in the given languages, whose control.stop it asks between and
// within pictures.
std::shared_ptr<SlideReader> startSlideReader(const QString &languages, const OcrControl &control);

// Hands picture over to be read as slide number; waits while the reader
// holds as many pictures as it has threads. False once the reader failed.
bool readLater(SlideReader &reader, int number, const QImage &picture);

// Waits for every picture handed over to be read and gives the texts by
// slide number. False, with the reason in *failure, when Tesseract could
// not start; false with *failure empty when control.stop asked to stop.
bool finishReading(std::shared_ptr<SlideReader> reader, std::map<int, QString> *texts,
                   QString *failure);

// The text of each image in imagePaths, at the same position in *texts,
// read in the given languages: lines of words, one line per line of text,
// with no blank lines. Returns false, with the reason in *failure, when an
// image cannot be read or Tesseract cannot start; and false, with *failure
// empty, when control.stop asked it to stop.
bool readSlideTexts(const QStringList &imagePaths, const QString &languages,
                    const OcrControl &control, QStringList *texts, QString *failure);
