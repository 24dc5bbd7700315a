// A smooth surface over a picture: the quadratic in x and y, each from -0.5
// to 0.5 across it, that the wall around a slide or a page's paper follows
// under a lens's dark corners and a projector's hot spot. For the files of
// this folder only.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

struct Quadratic {
    double k[6] = {};
    double at(double x, double y) const
    {
        return k[0] + k[1] * x + k[2] * y + k[3] * x * x + k[4] * x * y + k[5] * y * y;
    }
};

// The quadratic through (x, y, value) samples in the least-squares sense;
// only the samples that used says. All zero with fewer than six.
Quadratic fittedQuadratic(const std::vector<cv::Point3d> &samples, const std::vector<bool> &used);
