#include <opencv2/imgproc.hpp>

#include "cuda/kernels.hpp"
#include "lumaweave/cuda/ops.hpp"

namespace lumaweave {
namespace cuda {

void remap(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap, int interpolation,
           int borderMode, cv::Scalar borderValue, Stream& stream) {
  CV_Assert(!src.empty());
  CV_Assert(xmap.type() == CV_32FC1 && ymap.type() == CV_32FC1 && xmap.size() == ymap.size() && !xmap.empty());
  CV_Assert(src.type() == CV_8UC1 || src.type() == CV_8UC3 || src.type() == CV_8UC4 || src.type() == CV_32FC1);
  CV_Assert(interpolation == cv::INTER_NEAREST || interpolation == cv::INTER_LINEAR);
  CV_Assert(borderMode == cv::BORDER_CONSTANT || borderMode == cv::BORDER_REPLICATE);
  const GpuMat in = src;  // src may be dst
  GpuMat out = dst;
  if (out.data == in.data) out.release();  // remap cannot work in place
  out.create(xmap.size(), in.type());
  if (activeBackend() == Backend::Host) {
    cv::Mat d = hostView(out);
    cv::remap(hostView(in), d, hostView(xmap), hostView(ymap), interpolation, borderMode, borderValue);
  } else {
    kernels::remap(in, out, xmap, ymap, interpolation, borderMode, borderValue, stream);
  }
  dst = out;
}

void cvtColor(const GpuMat& src, GpuMat& dst, int code, int dcn, Stream& stream) {
  CV_Assert(!src.empty() && src.depth() == CV_8U);
  int scn = 0, dst_cn = 0;
  switch (code) {
    case cv::COLOR_RGBA2BGR: scn = 4; dst_cn = 3; break;
    case cv::COLOR_BGR2RGBA: scn = 3; dst_cn = 4; break;
    case cv::COLOR_BGR2GRAY: scn = 3; dst_cn = 1; break;
    default: CV_Error(cv::Error::StsBadFlag, "cvtColor: unsupported conversion code");
  }
  CV_Assert(src.channels() == scn && (dcn == 0 || dcn == dst_cn));
  const GpuMat in = src;
  GpuMat out = dst;
  if (out.data == in.data) out.release();
  out.create(in.size(), CV_MAKETYPE(CV_8U, dst_cn));
  if (activeBackend() == Backend::Host) {
    cv::Mat d = hostView(out);
    cv::cvtColor(hostView(in), d, code, dst_cn);
  } else {
    kernels::cvtColor(in, out, code, stream);
  }
  dst = out;
}

}  // namespace cuda
}  // namespace lumaweave
