// Slide pictures made ready for Tesseract, for the files of this folder
// only.
#pragma once

#include <QImage>

// slide as Tesseract reads it best: grey, its words dark on white whatever
// their colour and ground, and scaled so that its small words stand tall
// enough to be read.
QImage preparedForReading(const QImage &slide);
