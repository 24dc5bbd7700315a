// Frame acquisition inside the process: FFmpeg's libraries demux and decode
// the video and sample it at fps frames per second exactly as the ffmpeg
// program's fps filter does, so the frames are those --pipe hands out, pixel
// for pixel; frames no sample shows and no other frame refers to are not
// decoded at all. Skimming decodes only the stretches between keyframes
// whose packets say the picture can have changed; a still stretch shows its
// keyframe's picture throughout. The decoding runs on a thread of its own,
// a few pictures ahead of the caller.
#pragma once

#include "core.h"

#include <QString>

// Why the frames could not be had, when they could not.
struct DecodeFailure {
    QString reason;
};

// What the decoding did, for the benchmark: frames of the video stream and
// frames the decoder actually made.
struct DecodeCounts {
    qint64 framesInVideo = 0;
    qint64 framesDecoded = 0;
};

// Opens input and returns its frames sampled at fps frames per second, as
// pipeFrames hands them out (RGB888, or RGBX64 for video of more than 8
// bits), for i = 0, 1, 2 ... asked for in that order from one thread. Past
// the last frame there is none; a null image when the input cannot be read
// or decoded, *failure then saying why. With skim, stretches between
// keyframes that stand still are not decoded. *failure and *counts (when
// given) must outlive the function; counts are complete once the frames
// have ended.
FrameSource decodedFrames(const QString &input, int fps, bool skim, DecodeFailure *failure,
                          DecodeCounts *counts = nullptr);
