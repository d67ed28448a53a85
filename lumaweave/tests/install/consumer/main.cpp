// A host program built against the installed library only.
#include <cstdio>

#include <lumaweave/cuda.hpp>
#include <lumaweave/fast_warpers.hpp>
#include <lumaweave/live_stitcher.hpp>

int main() {
  lumaweave::LiveStitcher::Settings settings("{\"warping_mode\": \"plane\"}");
  lumaweave::cuda::GpuMat img(cv::Size(8, 8), CV_8UC3, cv::Scalar::all(7));
  cv::Mat host;
  img.download(host);
  std::printf("consumer: %s, backend %s, pixel %d\n", settings.warp_type.c_str(),
              lumaweave::cuda::backendName(lumaweave::cuda::activeBackend()), host.at<cv::Vec3b>(0, 0)[0]);
  return host.at<cv::Vec3b>(0, 0)[0] == 7 ? 0 : 1;
}
