#include "decode_internal.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace
{

// The quarter of the packets between keyframes that are smallest is taken
// to show a still picture, and a packet up to this many times the largest
// of that quarter still codes an unchanged one: an encoder keeps refining a
// still picture for a while after each keyframe, in packets of a few times
// the least, while a change codes every block it touches.
constexpr int stillSpread = 8;
// A packet that codes nothing costs far less than a bit per 16x16 block of
// pixels, a camera's noise far more: when the smallest quarter of the
// packets takes more than a byte per this many pixels (500 bytes at 1080p),
// the video never stands still.
constexpr int pixelsPerStillByte = 4096;

// Pictures are compared in blocks of this many pixels each way: fine enough
// that a word added moves a block's mean by tens of levels, coarse enough
// that an encoder's quantisation of one picture moves it by a few (up to 8
// between a keyframe and the frames that refine it after, on a 1080p screen
// recording at x264's crf 23).
constexpr int blockSide = 8;
// The most a block's mean may move between two pictures of one slide.
constexpr double stillBlockLevels = 12;

// Planar YUV of 8 bits, whose first plane is the luma.
bool measurable(const AVFrame *frame)
{
    const AVPixFmtDescriptor *format = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    return format &&
           !(format->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                              AV_PIX_FMT_FLAG_BITSTREAM)) &&
           (format->flags & AV_PIX_FMT_FLAG_PLANAR) && format->comp[0].depth == 8;
}

// The mean of every whole block of the luma plane, row by row. The
// columns of a row of blocks are summed first, a whole row of pixels at a
// time, which the compiler vectorises.
std::vector<double> blockMeans(const AVFrame *frame)
{
    const int columns = frame->width / blockSide;
    std::vector<double> means;
    means.reserve(std::size_t(columns) * std::size_t(frame->height / blockSide));
    std::vector<uint16_t> columnSums(std::size_t(columns) * blockSide);
    for (int top = 0; top + blockSide <= frame->height; top += blockSide) {
        std::fill(columnSums.begin(), columnSums.end(), 0);
        for (int y = top; y < top + blockSide; ++y) {
            const uint8_t *row = frame->data[0] + qsizetype(y) * frame->linesize[0];
            for (std::size_t x = 0; x < columnSums.size(); ++x)
                columnSums[x] = uint16_t(columnSums[x] + row[x]);
        }
        for (int column = 0; column < columns; ++column) {
            int sum = 0;
            for (int x = 0; x < blockSide; ++x)
                sum += columnSums[std::size_t(column * blockSide + x)];
            means.push_back(double(sum) / (blockSide * blockSide));
        }
    }
    return means;
}

// The largest difference between b's block means and a gain and offset
// applied to a's, fitted by least squares; with gain 1 and offset 0 when
// the light is not to change.
double largestBlockDifference(const std::vector<double> &a, const std::vector<double> &b,
                              bool lightMayChange)
{
    double gain = 1;
    double offset = 0;
    if (lightMayChange && !a.empty()) {
        double meanA = 0, meanB = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            meanA += a[i];
            meanB += b[i];
        }
        meanA /= double(a.size());
        meanB /= double(a.size());
        double covariance = 0, variance = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            covariance += (a[i] - meanA) * (b[i] - meanB);
            variance += (a[i] - meanA) * (a[i] - meanA);
        }
        gain = variance > 0 ? covariance / variance : 1;
        offset = meanB - gain * meanA;
    }
    double largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        largest = std::max(largest, std::abs(b[i] - (gain * a[i] + offset)));
    return largest;
}

int percentile(std::vector<int> values, double share)
{
    const auto at = values.begin() + qsizetype(double(values.size() - 1) * share);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

} // namespace

StillPackets surveyPackets(const QString &input)
{
    VideoInput video;
    QString failure;
    if (!openVideo(input, &video, &failure))
        return {};
    const AVCodecParameters *codec = video.format->streams[video.stream]->codecpar;
    const qint64 pixels = qint64(codec->width) * codec->height;
    PacketPtr packet(av_packet_alloc());
    std::vector<int> between; // sizes of the packets between keyframes
    int keyframes = 0;
    int64_t keyPts = AV_NOPTS_VALUE;
    while (readVideoPacket(video, packet.get())) {
        if (packet->pts == AV_NOPTS_VALUE)
            return {};
        if (packet->flags & AV_PKT_FLAG_KEY) {
            ++keyframes;
            keyPts = packet->pts;
            continue;
        }
        // A frame after a keyframe but shown before it (an open group of
        // pictures) refers to the stretch before the keyframe, which must
        // then be decoded to its end.
        if (keyPts != AV_NOPTS_VALUE && packet->pts < keyPts)
            return {};
        between.push_back(packet->size);
    }
    if (keyframes < 2 || between.empty())
        return {};
    const int stillLevel = percentile(between, 0.25);
    if (qint64(stillLevel) * pixelsPerStillByte > pixels)
        return {};
    return {true, stillLevel * stillSpread};
}

bool mayChangePicture(const AVPacket &packet, const StillPackets &still)
{
    return packet.size > still.largestStill;
}

PictureBlocks pictureBlocks(const AVFrame *frame)
{
    PictureBlocks blocks;
    blocks.width = frame->width;
    blocks.height = frame->height;
    blocks.format = frame->format;
    blocks.measured = measurable(frame);
    if (blocks.measured)
        blocks.means = blockMeans(frame);
    return blocks;
}

KeyframeChange pictureChange(const PictureBlocks &last, const PictureBlocks &next)
{
    if (!last.measured || !next.measured || last.width != next.width ||
        last.height != next.height || last.format != next.format)
        return KeyframeChange::Light;
    if (largestBlockDifference(last.means, next.means, false) <= stillBlockLevels)
        return KeyframeChange::None;
    if (largestBlockDifference(last.means, next.means, true) <= stillBlockLevels)
        return KeyframeChange::Light;
    return KeyframeChange::Content;
}
