#include "deck.h"

#include <QtGlobal>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace
{

// The alignment's costs, in units of 1 - |correlation| between a slide and
// a page. Going on to the next page costs nothing; jumps cost a little, so
// that order decides only between pages the picture cannot tell apart, and
// a back jump a little more than a forward one. Staying on a page costs as
// much as a jump forward: the slide changed, so it is more likely another
// page than the same one again.
constexpr double jumpForward = 0.01;
constexpr double stay = jumpForward;
constexpr double jumpBack = 0.03;
constexpr double intoOrOutOfNoPage = 0.03;
// A slide correlating less than this with every page is no page of the deck.
constexpr double leastCorrelation = 0.50;
// Pages correlating more than this with each other are taken as builds of
// one slide, told apart where they differ.
constexpr double buildCorrelation = 0.90;
// Levels (0-255) by which builds must differ for a pixel to tell them apart.
constexpr int buildDifference = 24;

constexpr int lookSize = lookWidth * lookHeight;
// Brightness that changes over more than this many look pixels is shading,
// not content.
constexpr double shadingSigma = 6.0;
constexpr double softSigma = 1.5;

// A look without its slow changes of brightness (the darker corners of a
// filmed screen, light falling across it), as zero-mean values of unit
// length, so that a dot product is the correlation; empty for no look or a
// plain picture.
std::vector<float> normalised(const PictureLook &look)
{
    if (look.grey.size() != lookSize)
        return {};
    cv::Mat grey(lookHeight, lookWidth, CV_8UC1, const_cast<char *>(look.grey.constData()));
    cv::Mat levels;
    grey.convertTo(levels, CV_32F);
    cv::Mat shading;
    cv::GaussianBlur(levels, shading, cv::Size(0, 0), shadingSigma);
    // Fine detail differs most between a sharp page and a blurred, shaken
    // filmed one, so both are compared a little soft.
    cv::Mat soft;
    cv::GaussianBlur(levels, soft, cv::Size(0, 0), softSigma);
    const cv::Mat detail = soft - shading;
    std::vector<float> values(detail.begin<float>(), detail.end<float>());
    double sum = 0;
    for (const float value : values)
        sum += value;
    const double mean = sum / lookSize;
    double squares = 0;
    for (float &value : values) {
        value = float(value - mean);
        squares += double(value) * value;
    }
    if (squares < 1e-3)
        return {};
    const float scale = float(1.0 / std::sqrt(squares));
    for (float &value : values)
        value *= scale;
    return values;
}

// Shown inverted, a page correlates as strongly, only negatively.
double correlation(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.empty() || b.empty())
        return 0.0;
    double dot = 0;
    for (int i = 0; i < lookSize; ++i)
        dot += double(a[i]) * b[i];
    return std::abs(dot);
}

double transitionCost(int from, int to)
{
    if (from > 0 && to == from + 1)
        return 0.0;
    if (from == to)
        return from == 0 ? 0.0 : stay;
    if (from == 0 || to == 0)
        return intoOrOutOfNoPage;
    return to > from ? jumpForward : jumpBack;
}

// State 0 is no page; state p is page p. Each slide's cost for each state.
std::vector<int> viterbi(const std::vector<std::vector<double>> &costs, int states)
{
    const std::size_t slides = costs.size();
    std::vector<std::vector<int>> from(slides, std::vector<int>(std::size_t(states), 0));
    std::vector<double> total = costs.empty() ? std::vector<double>() : costs[0];
    for (std::size_t s = 1; s < slides; ++s) {
        std::vector<double> next(std::size_t(states), std::numeric_limits<double>::infinity());
        for (int to = 0; to < states; ++to) {
            for (int was = 0; was < states; ++was) {
                const double cost = total[std::size_t(was)] + transitionCost(was, to);
                if (cost < next[std::size_t(to)]) {
                    next[std::size_t(to)] = cost;
                    from[s][std::size_t(to)] = was;
                }
            }
            next[std::size_t(to)] += costs[s][std::size_t(to)];
        }
        total = std::move(next);
    }
    std::vector<int> path(slides, 0);
    if (slides == 0)
        return path;
    path[slides - 1] = int(std::min_element(total.begin(), total.end()) - total.begin());
    for (std::size_t s = slides - 1; s > 0; --s)
        path[s - 1] = from[s][std::size_t(path[s])];
    return path;
}

// How far slide lies from page (shown inverted when sign is negative) over
// the pixels where, of two builds, one differs from the other.
double distanceWhere(const std::vector<float> &slide, const std::vector<float> &page, double sign,
                     const std::vector<int> &where)
{
    double sum = 0;
    for (const int i : where) {
        const double residual = slide[std::size_t(i)] - sign * page[std::size_t(i)];
        sum += residual * residual;
    }
    return sum;
}

// Of page and the pages that are builds of it (alike but for a line or a
// box), the one slide shows: each challenger against the best so far, judged
// only where the two differ.
int buildShown(const std::vector<float> &slide, int page, const Deck &deck,
               const std::vector<std::vector<float>> &pages)
{
    const std::vector<float> &shown = pages[std::size_t(page - 1)];
    double dot = 0;
    for (int i = 0; i < lookSize; ++i)
        dot += double(slide[std::size_t(i)]) * shown[std::size_t(i)];
    const double sign = dot < 0 ? -1.0 : 1.0;
    const auto level = [&deck](int q, int i) { return int(uchar(deck.looks[q - 1].grey[i])); };
    int best = page;
    for (int q = 1; q <= int(pages.size()); ++q) {
        if (q == page || correlation(shown, pages[std::size_t(q - 1)]) <= buildCorrelation)
            continue;
        std::vector<int> where;
        for (int i = 0; i < lookSize; ++i) {
            if (std::abs(level(best, i) - level(q, i)) >= buildDifference)
                where.push_back(i);
        }
        if (!where.empty() && distanceWhere(slide, pages[std::size_t(q - 1)], sign, where) <
                                  distanceWhere(slide, pages[std::size_t(best - 1)], sign, where))
            best = q;
    }
    return best;
}

} // namespace

QList<std::optional<int>> matchPages(const QList<PictureLook> &slides, const Deck &deck)
{
    std::vector<std::vector<float>> pages;
    for (const PictureLook &look : deck.looks)
        pages.push_back(normalised(look));
    const int states = int(pages.size()) + 1;
    std::vector<std::vector<double>> costs;
    for (const PictureLook &slide : slides) {
        const std::vector<float> values = normalised(slide);
        std::vector<double> row(static_cast<std::size_t>(states));
        row[0] = 1.0 - leastCorrelation;
        for (int p = 1; p < states; ++p)
            row[std::size_t(p)] = values.empty()
                                      ? std::numeric_limits<double>::infinity()
                                      : 1.0 - correlation(values, pages[std::size_t(p - 1)]);
        costs.push_back(std::move(row));
    }
    const std::vector<int> path = viterbi(costs, states);
    QList<std::optional<int>> matched;
    for (std::size_t s = 0; s < path.size(); ++s) {
        if (path[s] == 0)
            matched.append(std::nullopt);
        else
            matched.append(buildShown(normalised(slides[qsizetype(s)]), path[s], deck, pages));
    }
    return matched;
}
