#include "surface.h"

Quadratic fittedQuadratic(const std::vector<cv::Point3d> &samples, const std::vector<bool> &used)
{
    cv::Mat a(0, 6, CV_64F);
    cv::Mat b(0, 1, CV_64F);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        if (!used[k])
            continue;
        const double x = samples[k].x;
        const double y = samples[k].y;
        const cv::Mat row = (cv::Mat_<double>(1, 6) << 1, x, y, x * x, x * y, y * y);
        a.push_back(row);
        b.push_back(samples[k].z);
    }
    Quadratic quadratic;
    if (a.rows < 6)
        return quadratic;
    cv::Mat coefficients;
    cv::solve(a, b, coefficients, cv::DECOMP_SVD);
    for (int k = 0; k < 6; ++k)
        quadratic.k[k] = coefficients.at<double>(k);
    return quadratic;
}
