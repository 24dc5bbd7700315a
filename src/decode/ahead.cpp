// Decoding ahead of the walk, on a thread of its own: the decoder makes the
// next pictures while the walk compares the last, which on two cores takes
// the decoding's time off the run's wall time at no cost in CPU time (the
// decoder's own frame threads cost a quarter more of it).
#include "decode_internal.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace
{

struct Ahead {
    explicit Ahead(std::size_t depth) : depth(depth) {}
    ~Ahead()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        if (maker.joinable())
            maker.join();
    }
    Q_DISABLE_COPY_MOVE(Ahead)

    const std::size_t depth;
    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::deque<std::optional<QImage>> made;
    bool stopping = false;
    std::thread maker;
    // Taker only: what ended the frames, answered from then on.
    std::optional<std::optional<QImage>> end;
};

bool endsFrames(const std::optional<QImage> &frame)
{
    return !frame || frame->isNull();
}

void make(Ahead &ahead, const FrameSource &source)
{
    for (int i = 0;; ++i) {
        std::optional<QImage> frame = source(i);
        const bool last = endsFrames(frame);
        std::unique_lock<std::mutex> lock(ahead.mutex);
        ahead.changed.wait(lock, [&] { return ahead.stopping || ahead.made.size() < ahead.depth; });
        if (ahead.stopping)
            return;
        ahead.made.push_back(std::move(frame));
        ahead.changed.notify_all();
        if (last)
            return;
    }
}

std::optional<QImage> take(Ahead &ahead)
{
    if (ahead.end)
        return *ahead.end;
    std::unique_lock<std::mutex> lock(ahead.mutex);
    ahead.changed.wait(lock, [&] { return !ahead.made.empty(); });
    std::optional<QImage> frame = std::move(ahead.made.front());
    ahead.made.pop_front();
    ahead.changed.notify_all();
    if (endsFrames(frame))
        ahead.end = frame;
    return frame;
}

} // namespace

FrameSource framesAhead(FrameSource source, std::size_t depth)
{
    auto ahead = std::make_shared<Ahead>(depth);
    ahead->maker =
        std::thread([ahead = ahead.get(), source = std::move(source)] { make(*ahead, source); });
    return [ahead](int) { return take(*ahead); };
}
