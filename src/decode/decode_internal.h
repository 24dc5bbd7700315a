// What the files of the decoding share: owners of FFmpeg's objects, the
// opened video stream, the sampler and what the packets say about where the
// picture stands still.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
}

#include "core.h"

#include <QImage>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

struct FormatCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct DecoderFreer {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct GraphFreer {
    void operator()(AVFilterGraph *graph) const { avfilter_graph_free(&graph); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using DecoderPtr = std::unique_ptr<AVCodecContext, DecoderFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphFreer>;

// FFmpeg's text for an error code.
QString avErrorText(int code);

// The video stream of an input, demuxed as the ffmpeg program demuxes it.
struct VideoInput {
    FormatPtr format;
    int stream = -1;
    AVRational timeBase{0, 1};
    // Added to every packet's timestamps (in timeBase): the input's start
    // moves to 0, as ffmpeg moves it without -copyts.
    int64_t offset = 0;
};

// Opens input and picks its video stream; false with *failure set when it
// cannot be read or holds no video.
bool openVideo(const QString &input, VideoInput *video, QString *failure);

// The next packet of the video stream into *packet, timestamps moved by the
// offset; false at the end of the input. A read error ends the input, as it
// ends ffmpeg's.
bool readVideoPacket(VideoInput &video, AVPacket *packet);

// A decoder for the video stream, on as many threads as ffmpeg takes.
DecoderPtr openDecoder(const VideoInput &video, QString *failure);

// A filter graph from one buffer source to one sink.
struct Graph {
    GraphPtr graph;
    AVFilterContext *source = nullptr;
    AVFilterContext *sink = nullptr;
};

// ffmpeg's filter graph from decoded frames to sampled pictures: the fps
// filter, then the conversion to the pixel format ffmpeg's PPM encoder
// would take. Frames of a new size or format make a new graph that scales
// them to the first one's, as ffmpeg reconfigures its graph. The two run as
// graphs of their own, so that a frame sampled again (a still stretch not
// decoded hands the same frame on and on) is converted once.
struct Sampler {
    int fps = 1;
    AVRational timeBase{0, 1};
    AVRational frameRate{0, 1};
    Graph sampling;
    Graph conversion;
    // The frames the graph now takes.
    int width = 0;
    int height = 0;
    int format = -1;
    // The pictures it makes, fixed by the first graph.
    int outWidth = 0;
    int outHeight = 0;
    int outFormat = -1;
    FramePtr sample{av_frame_alloc()};
    FramePtr converted{av_frame_alloc()};
    // What frames sampled show, as their decoding numbered it in opaque
    // (copies of a frame show the same): the picture converted last.
    void *lastShown = nullptr;
    QImage lastConverted;
    // The constant frame rate ffmpeg keeps on the way to the encoder: the
    // number of the next picture, and the last picture, which fill a gap.
    int64_t nextNumber = 0;
    QImage lastPicture;
};

// Hands a decoded frame to the sampler (which takes its own reference) and
// the pictures it samples to *pictures; false with *failure set when the
// graph cannot be made or fails.
bool sampleFrame(Sampler &sampler, const AVFrame *frame, std::deque<QImage> *pictures,
                 QString *failure);

// Ends the frames at endPts (in the stream's time base), as ffmpeg ends
// them, and hands the last pictures to *pictures.
bool finishSampling(Sampler &sampler, int64_t endPts, std::deque<QImage> *pictures,
                    QString *failure);

// What the packets of a whole video say about where it stands still: the
// largest packet between two keyframes that codes an unchanged picture.
// Not usable when the video never stands still, or its packets cannot
// tell (no timestamps, no keyframes but the first), or a stretch cannot be
// left undecoded (open groups of pictures).
struct StillPackets {
    bool usable = false;
    int largestStill = 0;
};

// Reads every packet of input's video stream, without decoding any.
StillPackets surveyPackets(const QString &input);

// Whether packet, between two keyframes, may change the picture: it is
// larger than a still picture's.
bool mayChangePicture(const AVPacket &packet, const StillPackets &still);

// How the picture at the keyframe after a stretch differs from the one its
// last packets were taken to show. An encoder codes a change of the light
// over the whole picture (a flicker, a camera's gain, a fade) in packets as
// small as a still picture's, but a change of what is shown in large ones
// or in a keyframe of its own. Light also when the pictures cannot be
// compared.
enum class KeyframeChange { None, Light, Content };

// A decoded picture's luma in blocks, measured once for comparing it with
// many others; not measured unless it is planar YUV of 8 bits.
struct PictureBlocks {
    int width = 0;
    int height = 0;
    int format = -1;
    bool measured = false;
    std::vector<double> means;
};
PictureBlocks pictureBlocks(const AVFrame *frame);
KeyframeChange pictureChange(const PictureBlocks &last, const PictureBlocks &next);

// The frames of source, made on a thread of their own up to depth ahead of
// the caller, in order: the frames, then what ended them (none, or a null
// image for a failure, which source has told by then), answered from then
// on. Destroying the returned source stops the thread once the frame it is
// making is made.
FrameSource framesAhead(FrameSource source, std::size_t depth);
