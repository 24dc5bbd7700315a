// Slide detection: a pixel-difference score between two frames, and the walk
// over the frames that cuts the timeline into slide and video segments and
// picks the one frame each slide keeps.
#pragma once

#include "core.h"

#include <QImage>

// How alike two frames are, from 0.0 (nothing alike, or different sizes) to
// 1.0 (the same red, green and blue at every pixel); alpha plays no part.
double frameSimilarity(const QImage &reference, const QImage &candidate);

// Which walk cuts the timeline: the pixel score against one threshold, or
// the robust walk for filmed, noisy talks, builds and moving pictures.
enum class Detector { Pixel, Robust };

struct DetectOptions {
    Detector detector = Detector::Pixel;
    int fps = 1;
    double threshold = 0.99;
    int videoChanges = 5;
    int videoWindow = 15;
};

// Walks the frames of frameAt until they end and fills *timeline (left empty
// when there is no frame at all), handing each slide to keepSlide when one is given. Returns
// false, with *timeline incomplete, when a frame could not be had or
// keepSlide refused a slide.
bool segmentTimeline(const FrameSource &frameAt, const DetectOptions &options, Timeline *timeline,
                     const SlideSink &keepSlide = {});

// How both walks build their timeline: segments appended in time order, and
// one that would cover no frame left out (a slide whose first change also
// opened a video, say), its kept frame and its label number too.

// Appends the slide startFrame..endFrame, which keeps keptFrame, and hands it
// with picture to keepSlide when one is given. False when keepSlide refuses it.
bool appendSlide(Timeline *timeline, int startFrame, int endFrame, int keptFrame,
                 const QImage &picture, const SlideSink &keepSlide);

// Appends the video startFrame..endFrame labelled with *videoNumber
// ("video0001" for 1), which then counts on.
void appendVideo(Timeline *timeline, int startFrame, int endFrame, int *videoNumber);

// The walk segmentTimeline runs for Detector::Robust, with the same contract.
// It compares frames reduced to block means, corrected for a change of light,
// against the slide's settled picture, with a threshold above the talk's own
// noise; a new picture must hold for two seconds to count, and its segment
// starts where it first appeared. Regions that keep moving are left out of
// the decisions; motion that starts while a slide is shown makes a video
// segment. A slide keeps the frame at which its picture had held long
// enough. It holds a few small grids and one kept picture, however long the
// talk.
bool robustTimeline(const FrameSource &frameAt, const DetectOptions &options, Timeline *timeline,
                    const SlideSink &keepSlide);
