// Internal: the output geometry of the camera pair, from the two projected rectangles.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace lumaweave {

struct StitchGeometry {
  cv::Rect project_rect;                // bounding box of both projections (projected plane)
  std::vector<cv::Rect> warped_rects;   // per camera, in output coordinates
  cv::Rect overlap;                     // warped_rects[0] & warped_rects[1]
  std::vector<cv::Rect> output_rects;   // per camera, where its crop goes in the output
  std::vector<cv::Rect> crop_rects;     // per camera, in warped-image coordinates
  cv::Size output_size;                 // project_rect's size rounded up to even
};

// The two images meet at a vertical cut through the middle of their overlap: camera 0 keeps
// the left half, camera 1 the right half (and a middle column of an odd overlap).
StitchGeometry computeStitchGeometry(const cv::Rect& project_rect0, const cv::Rect& project_rect1);

}  // namespace lumaweave
