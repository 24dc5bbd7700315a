#include "deck.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace
{

// The alignment's costs, in units of 1 - |correlation| between a slide and
// a page. Going on to the next page or staying costs nothing; jumps cost a
// little, so that order decides only between pages the picture cannot tell
// apart, and a back jump a little more than a forward one.
constexpr double jumpForward = 0.01;
constexpr double jumpBack = 0.03;
constexpr double intoOrOutOfNoPage = 0.03;
// A slide correlating less than this with every page is no page of the deck.
constexpr double leastCorrelation = 0.70;
// Pages correlating more than this with each other are taken as builds of
// one slide, told apart where they differ.
constexpr double buildCorrelation = 0.90;
// Levels (0-255) by which builds must differ for a pixel to tell them apart.
constexpr int buildDifference = 24;

constexpr int lookSize = lookWidth * lookHeight;

// A look as zero-mean values of unit length, so that a dot product is the
// correlation; empty for no look or a plain picture.
std::vector<float> normalised(const PictureLook &look)
{
    if (look.grey.size() != lookSize)
        return {};
    std::vector<float> values(lookSize);
    double sum = 0;
    for (int i = 0; i < lookSize; ++i)
        sum += uchar(look.grey[i]);
    const double mean = sum / lookSize;
    double squares = 0;
    for (int i = 0; i < lookSize; ++i) {
        values[i] = float(uchar(look.grey[i]) - mean);
        squares += double(values[i]) * values[i];
    }
    if (squares < 1e-6)
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
    if (from == to || (from > 0 && to == from + 1))
        return 0.0;
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

// Of page and the pages that are builds of it, the one slide shows: the
// slide is fitted to page in gain and offset (a negative gain for a page
// shown inverted), and each build judged only where the builds differ.
int buildShown(const PictureLook &slide, int page, const Deck &deck,
               const std::vector<std::vector<float>> &pages)
{
    std::vector<int> builds;
    for (int q = 1; q <= int(pages.size()); ++q) {
        if (q == page ||
            correlation(pages[std::size_t(page - 1)], pages[std::size_t(q - 1)]) > buildCorrelation)
            builds.push_back(q);
    }
    if (builds.size() < 2)
        return page;
    const auto level = [&deck](int q, int i) { return int(uchar(deck.looks[q - 1].grey[i])); };
    std::vector<int> where;
    for (int i = 0; i < lookSize; ++i) {
        int low = 255;
        int high = 0;
        for (const int q : builds) {
            low = std::min(low, level(q, i));
            high = std::max(high, level(q, i));
        }
        if (high - low >= buildDifference)
            where.push_back(i);
    }
    if (where.empty())
        return page;
    // Least squares of slide = gain * page + offset over the whole look.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int i = 0; i < lookSize; ++i) {
        const double x = level(page, i);
        const double y = uchar(slide.grey[i]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = lookSize;
    const double spread = sxx - sx * sx / n;
    const double gain = spread > 1e-9 ? (sxy - sx * sy / n) / spread : 1.0;
    const double offset = (sy - gain * sx) / n;
    int best = page;
    double bestError = std::numeric_limits<double>::infinity();
    for (const int q : builds) {
        double error = 0;
        for (const int i : where) {
            const double residual = uchar(slide.grey[i]) - (gain * level(q, i) + offset);
            error += residual * residual;
        }
        if (error < bestError) {
            bestError = error;
            best = q;
        }
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
            matched.append(buildShown(slides[qsizetype(s)], path[s], deck, pages));
    }
    return matched;
}
