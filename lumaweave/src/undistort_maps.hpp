// Internal: the undistortion maps shared by UndistortWarper and Undistorter.
#pragma once

#include <opencv2/core.hpp>

namespace lumaweave {

// Maps of the same size as the source frame (alpha chosen by the caller, no rectification).
// Returns the valid-pixel rectangle grown by one pixel in width and height.
cv::Rect buildUndistortMaps(const cv::Size& src_size, cv::InputArray K, cv::InputArray D, double alpha,
                            cv::Mat& map1, cv::Mat& map2);

}  // namespace lumaweave
