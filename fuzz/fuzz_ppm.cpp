// Any bytes as the stream of PPM pictures ffmpeg sends. The first byte picks
// how many bytes the source hands out at a time, so headers and pixels are
// also cut at every place a pipe may cut them.
#include "frames.h"

#include <QtGlobal>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qint64 step = qint64(data[0] % 64) + 1;
    const char *next = reinterpret_cast<const char *>(data + 1);
    qint64 left = qint64(size) - 1;
    PpmStream stream{[&](char *to, qint64 wanted) {
        const qint64 count = qMin(qMin(wanted, step), left);
        std::memcpy(to, next, std::size_t(count));
        next += count;
        left -= count;
        return count;
    }};
    // The pipe's own limit lets a header claim 2 GiB; more than a few
    // megapixels here only tries the fuzzer's memory limit.
    const FrameAllocator allocate = [](int width, int height, QImage::Format format) {
        return qint64(width) * height > (1 << 22) ? QImage() : QImage(width, height, format);
    };
    for (int frameNumber = 1;; ++frameNumber) {
        QImage image;
        const PpmRead read = readPpmFrame(stream, frameNumber, allocate, &image);
        if (read.outcome != PpmRead::Frame) {
            // Only a whole picture is handed out, and every other outcome says why.
            if (!image.isNull() || (read.outcome == PpmRead::Unreadable && read.why.isEmpty()))
                __builtin_trap();
            return 0;
        }
        if (image.isNull() ||
            (image.format() != QImage::Format_RGB888 && image.format() != QImage::Format_RGBX64))
            __builtin_trap();
    }
}
