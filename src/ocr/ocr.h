// Slide text: the words on each slide image, read with Tesseract on every
// core at once.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Whether Tesseract has data for every language of languages ("eng", or
// several joined with '+' as in "eng+deu"); if not, *missing is the first
// it lacks. Cheap enough to ask before any other work starts.
bool ocrLanguagesAvailable(const QString &languages, QString *missing);

// The text of every image in imagePaths, by path, read in the given
// languages: lines of words, one line per line of text, with no blank
// lines. A path named twice is read once. Returns false, with the reason in
// *failure, when an image cannot be read or Tesseract cannot start.
bool readSlideTexts(const QStringList &imagePaths, const QString &languages,
                    QHash<QString, QString> *texts, QString *failure);
