#include "stitch_geometry.hpp"

#include <cmath>

namespace lumaweave {

StitchGeometry computeStitchGeometry(const cv::Rect& project_rect0, const cv::Rect& project_rect1) {
  StitchGeometry g;
  g.project_rect = project_rect0 | project_rect1;
  for (const cv::Rect& r : {project_rect0, project_rect1}) g.warped_rects.push_back(r - g.project_rect.tl());
  g.overlap = g.warped_rects[0] & g.warped_rects[1];
  const int half_w = g.overlap.width / 2;
  for (int i = 0; i < 2; ++i) {
    cv::Rect out = g.warped_rects[i];
    out.width -= half_w;
    out.x += i * half_w;
    g.output_rects.push_back(out);
    g.crop_rects.push_back(out - g.warped_rects[i].tl());
  }
  g.output_size = cv::Size(int(2 * std::ceil(g.project_rect.width / 2.0)), int(2 * std::ceil(g.project_rect.height / 2.0)));
  return g;
}

}  // namespace lumaweave
