// Slide pictures rather than video frames: the slide found in the frame and
// cut out or straightened, a clean picture of each slide built from its
// settled frames, and pictures told apart so a slide shown again is kept
// once.
#pragma once

#include "core.h"

#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QString>

#include <array>
#include <memory>
#include <optional>

// --crop: nothing, a fixed rectangle of the video picture, or the slide
// found in the frames.
struct CropRequest {
    bool automatic = false;
    QRect rect; // the fixed rectangle; null when none
};

// "auto", or "X,Y,W,H" in whole pixels with X and Y at least 0 and W and H
// at least 1; nothing for any other text.
std::optional<CropRequest> cropRequestNamed(const QString &text);

// Where the slide lies in a frame: its corners top-left, top-right,
// bottom-right, bottom-left, in pixels of the frame (pixel edges, so a
// whole frame of width w runs from 0 to w), and the size of the upright
// picture it is straightened to. An upright rectangle is cut out as it is.
struct SlideRegion {
    std::array<QPointF, 4> corners{};
    QSize size;
    QRect rect; // the upright rectangle; null when the region is straightened
};

// The slide in frame: plain bars around a screen recording cut off, a
// screen standing out from the wall it is projected on, or the bright page
// of a shared screen; nothing when no part of the frame stands out so.
std::optional<SlideRegion> findSlideRegion(const QImage &frame);

// The region of frame as an upright picture of region.size.
QImage straightened(const QImage &frame, const SlideRegion &region);

// How cropping went, filled in while the frames are handed out.
struct CropReport {
    bool outsidePicture = false; // a fixed rectangle that the first frame does not hold
    bool wholeFrameUsed = false; // a slide in which no region was found was handed on whole
};

// The frames of frames cut to a fixed rectangle; with "auto", or no
// rectangle, the frames as they are (the slide is found in each slide's own
// frames once the walk has closed it: see cutToSlide). A fixed rectangle
// that the first frame does not hold gives a null image, with
// report->outsidePicture set. *report must outlive the source.
FrameSource croppedFrames(FrameSource frames, const CropRequest &request, CropReport *report);

// The slide's region as it is followed from slide to slide.
struct SlideCutter;

// A cutter that has found no region yet; *report must outlive it.
std::shared_ptr<SlideCutter> slideCutter(CropReport *report);

// The frames of one slide (its kept frame first, then frames spread over
// it, all of one size) cut to the slide they show. The region is searched
// in the kept frame and, when it is not where it was, in a few spread over
// the slide; it is taken anew only when most of those agree on another one
// than the cutter's (the camera moved): found again, moved a little or
// hidden for a while, it stays. Until a region is found the frames come
// back whole, with report->wholeFrameUsed set.
QList<QImage> cutToSlide(SlideCutter &cutter, const QList<QImage> &frames);

// A few frames spread over the slide the walk has open, from which its
// clean picture is built when it closes.
struct SettledFrames;

// Room for the frames of one slide; at most this many are held.
std::shared_ptr<SettledFrames> settledFrames(int capacity);

// The frames of frames as they are, each also offered to *settled.
FrameSource keepingSettledFrames(FrameSource frames, std::shared_ptr<SettledFrames> settled);

// The frames of slide held, its kept picture first, each from the kept
// frame to the slide's last one; those up to its end are forgotten.
QList<QImage> takeSlideFrames(SettledFrames &settled, const Segment &slide, const QImage &picture);

// A stage that hands each slide on to next with its clean picture instead
// of its kept frame: the per-pixel median of the frames held from the kept
// frame to the slide's last one, each cut to the slide by cutter when there
// is one, with uneven light flattened. Frames before the kept one, and so
// any transition, play no part.
RecordSink cleaningSlides(RecordSink next, std::shared_ptr<SettledFrames> settled,
                          std::shared_ptr<SlideCutter> cutter = {});

// A stage that hands each slide on to next with its kept frame cut to the
// slide by cutter, the region chosen from the frames held of it.
RecordSink cuttingSlides(RecordSink next, std::shared_ptr<SettledFrames> settled,
                         std::shared_ptr<SlideCutter> cutter);

// The per-pixel median of pictures, colour by colour, however many; only
// those of the first picture's size take part. Null for no picture.
QImage medianPicture(const QList<QImage> &pictures);

// A filmed page lit unevenly (a projector's hot spot, a lens's dark
// corners) with its paper made white all over; a page that is already
// evenly lit, or has too little paper to tell, comes back as it is.
QImage flattenedLight(const QImage &picture);

// A small summary of a picture that tells it from others.
struct PictureSignature {
    QImage thumbnail;
};

PictureSignature pictureSignature(const QImage &picture);

// Whether two signatures show the same picture: all alike up to noise, a
// shift of a pixel or two and a change of brightness; a line more or a
// line recoloured is another picture.
bool samePicture(const PictureSignature &a, const PictureSignature &b);

// A stage that hands on to next only the slides whose picture has not been
// handed on before. A slide that shows an earlier one's picture again gets
// that slide's number as repeatOf and its file as image, and goes no
// further.
RecordSink dedupingSlides(RecordSink next);
