// Projection remap tables, one kernel source for the GPU and the CPU launcher. Each destination
// pixel of the projected plane gets the source pixel it comes from (backward projection).
#include <cmath>
#include <mutex>

#include <opencv2/core.hpp>

#include "build_warp_maps.hpp"
#include "cuda/launch.cuh"
#include "lumaweave/cuda/runtime.hpp"

namespace cv {
namespace cuda {
namespace device {
namespace imgproc {

namespace build_warp_maps {

#ifdef __CUDACC__
__constant__ float ck_rinv[9];
__constant__ float cr_kinv[9];
__constant__ float ct[3];
__constant__ float cscale;
#endif

// The same parameter set where kernels run on the CPU launcher.
struct HostConstants {
  float ck_rinv[9];
  float cr_kinv[9];
  float ct[3];
  float cscale;
};
HostConstants host_constants;

LW_HOST_DEVICE inline const float* kRinv() {
#ifdef __CUDA_ARCH__
  return ck_rinv;
#else
  return host_constants.ck_rinv;
#endif
}

LW_HOST_DEVICE inline const float* translation() {
#ifdef __CUDA_ARCH__
  return ct;
#else
  return host_constants.ct;
#endif
}

LW_HOST_DEVICE inline float scale() {
#ifdef __CUDA_ARCH__
  return cscale;
#else
  return host_constants.cscale;
#endif
}

}  // namespace build_warp_maps

namespace {

namespace bwm = build_warp_maps;

// (x_, y_, z_) through K*R^T; a ray at or behind the camera plane lands off the source.
LW_HOST_DEVICE inline void projectRay(float x_, float y_, float z_, float& x, float& y) {
  const float* k = bwm::kRinv();
  const float px = k[0] * x_ + k[1] * y_ + k[2] * z_;
  const float py = k[3] * x_ + k[4] * y_ + k[5] * z_;
  const float pz = k[6] * x_ + k[7] * y_ + k[8] * z_;
  if (pz > 0) {
    x = px / pz;
    y = py / pz;
  } else {
    x = y = -1;
  }
}

}  // namespace

struct PlaneMapper {
  static LW_HOST_DEVICE void mapBackward(float u, float v, float& x, float& y) {
    const float* k = bwm::kRinv();
    const float* t = bwm::translation();
    const float s = bwm::scale();
    u = u / s - t[0];
    v = v / s - t[1];
    const float w = 1 - t[2];
    // No depth test: a plane point behind the camera still projects (mirrored), as in OpenCV.
    const float px = k[0] * u + k[1] * v + k[2] * w;
    const float py = k[3] * u + k[4] * v + k[5] * w;
    const float pz = k[6] * u + k[7] * v + k[8] * w;
    x = px / pz;
    y = py / pz;
  }
};

struct CylindricalMapper {
  static LW_HOST_DEVICE void mapBackward(float u, float v, float& x, float& y) {
    const float s = bwm::scale();
    u /= s;
    v /= s;
    projectRay(sinf(u), v, cosf(u), x, y);
  }
};

struct SphericalMapper {
  static LW_HOST_DEVICE void mapBackward(float u, float v, float& x, float& y) {
    const float s = bwm::scale();
    u /= s;
    v /= s;
    // v runs from the north pole (0) to the south pole (pi).
    const float polar = static_cast<float>(CV_PI) - v;
    const float sinv = sinf(polar);
    projectRay(sinv * sinf(u), cosf(polar), sinv * cosf(u), x, y);
  }
};

template <class Mapper> struct buildWarpMapsKernel {
  int tl_u, tl_v, cols, rows;
  mutable PtrStep<float> map_x, map_y;

  LW_HOST_DEVICE void operator()(const lumaweave::cuda::ThreadIndex& t) const {
    const int du = t.global_x(), dv = t.global_y();
    if (du >= cols || dv >= rows) return;
    float x, y;
    Mapper::mapBackward(static_cast<float>(tl_u + du), static_cast<float>(tl_v + dv), x, y);
    map_x(dv, du) = x;
    map_y(dv, du) = y;
  }
};

namespace {

// The parameters are one set for the whole library; this keeps two builds from interleaving.
std::mutex& constantsMutex() {
  static std::mutex m;
  return m;
}

#ifdef __CUDACC__
void checkSymbolCopy(cudaError_t e, const char* what, int line) {
  if (e == cudaSuccess) return;
  cudaGetLastError();  // the failure is reported here, not by the next launch
  lumaweave::cuda::check(static_cast<lumaweave::cuda::Error>(static_cast<int>(e)), what, __FILE__, line);
}
#endif

void uploadConstants(const float k_rinv[9], const float r_kinv[9], const float t[3], float scale) {
  static const float zero_t[3] = {0.f, 0.f, 0.f};
  if (!t) t = zero_t;
#ifdef __CUDACC__
  if (lumaweave::cuda::detail::deviceActive()) {
    checkSymbolCopy(cudaMemcpyToSymbol(bwm::ck_rinv, k_rinv, 9 * sizeof(float)), "cudaMemcpyToSymbol(ck_rinv)",
                    __LINE__);
    checkSymbolCopy(cudaMemcpyToSymbol(bwm::cr_kinv, r_kinv, 9 * sizeof(float)), "cudaMemcpyToSymbol(cr_kinv)",
                    __LINE__);
    checkSymbolCopy(cudaMemcpyToSymbol(bwm::ct, t, 3 * sizeof(float)), "cudaMemcpyToSymbol(ct)", __LINE__);
    checkSymbolCopy(cudaMemcpyToSymbol(bwm::cscale, &scale, sizeof(float)), "cudaMemcpyToSymbol(cscale)",
                    __LINE__);
    return;
  }
#endif
  for (int i = 0; i < 9; ++i) {
    bwm::host_constants.ck_rinv[i] = k_rinv[i];
    bwm::host_constants.cr_kinv[i] = r_kinv[i];
  }
  for (int i = 0; i < 3; ++i) bwm::host_constants.ct[i] = t[i];
  bwm::host_constants.cscale = scale;
}

template <class Mapper>
void buildMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9], const float r_kinv[9],
               const float t[3], float scale, const char* name) {
  std::lock_guard<std::mutex> lock(constantsMutex());
  uploadConstants(k_rinv, r_kinv, t, scale);
  if (map_x.cols <= 0 || map_x.rows <= 0) return;  // an empty grid is a launch error on the device
  const dim3 block(32, 8);
  const dim3 grid(unsigned(lumaweave::cuda::divCeil(map_x.cols, int(block.x))),
                  unsigned(lumaweave::cuda::divCeil(map_x.rows, int(block.y))));
  const buildWarpMapsKernel<Mapper> k{tl_u, tl_v, map_x.cols, map_x.rows, map_x, map_y};
  // Default stream whatever the caller passed: the null-stream launch checks the launch and
  // synchronises the device, so the maps are complete on return.
  lumaweave::cuda::launch(grid, block, lumaweave::cuda::Stream::Null(), k, name);
}

}  // namespace

void buildWarpPlaneMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                        const float r_kinv[9], const float t[3], float scale, void* /*stream*/) {
  buildMaps<PlaneMapper>(tl_u, tl_v, map_x, map_y, k_rinv, r_kinv, t, scale, "buildWarpPlaneMaps");
}

void buildWarpSphericalMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                            const float r_kinv[9], float scale, void* /*stream*/) {
  buildMaps<SphericalMapper>(tl_u, tl_v, map_x, map_y, k_rinv, r_kinv, nullptr, scale, "buildWarpSphericalMaps");
}

void buildWarpCylindricalMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                              const float r_kinv[9], float scale, void* /*stream*/) {
  buildMaps<CylindricalMapper>(tl_u, tl_v, map_x, map_y, k_rinv, r_kinv, nullptr, scale,
                               "buildWarpCylindricalMaps");
}

}  // namespace imgproc
}  // namespace device
}  // namespace cuda
}  // namespace cv

namespace lumaweave {

namespace {

using cv::Mat;
using cv::Size;

// The assertion texts are part of the interface; keep the expressions exactly as they are.
void checkCamera(const Mat& K, const Mat& R) {
  CV_Assert(K.size() == Size(3,3) && K.type() == CV_32FC1);
  CV_Assert(R.size() == Size(3,3) && R.type() == CV_32FC1);
}

struct Products {
  Mat K_Rinv, R_Kinv;
};

Products products(const Mat& K, const Mat& R) {
  Products p;
  const Mat Rinv = R.t();  // a transposed copy, as OpenCV's projector multiplies: same rounding
  p.K_Rinv = K * Rinv;
  p.R_Kinv = R * K.inv(cv::DECOMP_LU);
  const Mat& K_Rinv = p.K_Rinv;
  const Mat& R_Kinv = p.R_Kinv;
  CV_Assert(K_Rinv.isContinuous());
  CV_Assert(R_Kinv.isContinuous());
  return p;
}

void createMaps(cv::Rect dst_roi, cuda::GpuMat& map_x, cuda::GpuMat& map_y) {
  map_x.create(dst_roi.size(), CV_32FC1);
  map_y.create(dst_roi.size(), CV_32FC1);
}

}  // namespace

void buildWarpPlaneMaps(cv::Size /*src_size*/, cv::Rect dst_roi, cv::InputArray K_, cv::InputArray R_,
                        cv::InputArray T_, float scale, cuda::GpuMat& map_x, cuda::GpuMat& map_y,
                        cuda::Stream& stream) {
  const Mat K = K_.getMat(), R = R_.getMat(), T = T_.getMat();
  checkCamera(K, R);
  CV_Assert((T.size() == Size(3,1) || T.size() == Size(1,3)) && T.type() == CV_32FC1 && T.isContinuous());
  const Products p = products(K, R);
  createMaps(dst_roi, map_x, map_y);
  cv::cuda::device::imgproc::buildWarpPlaneMaps(dst_roi.x, dst_roi.y, map_x, map_y, p.K_Rinv.ptr<float>(),
                                                p.R_Kinv.ptr<float>(), T.ptr<float>(), scale, stream.cudaPtr());
}

void buildWarpSphericalMaps(cv::Size /*src_size*/, cv::Rect dst_roi, cv::InputArray K_, cv::InputArray R_,
                            float scale, cuda::GpuMat& map_x, cuda::GpuMat& map_y, cuda::Stream& stream) {
  const Mat K = K_.getMat(), R = R_.getMat();
  checkCamera(K, R);
  const Products p = products(K, R);
  createMaps(dst_roi, map_x, map_y);
  cv::cuda::device::imgproc::buildWarpSphericalMaps(dst_roi.x, dst_roi.y, map_x, map_y, p.K_Rinv.ptr<float>(),
                                                    p.R_Kinv.ptr<float>(), scale, stream.cudaPtr());
}

void buildWarpCylindricalMaps(cv::Size /*src_size*/, cv::Rect dst_roi, cv::InputArray K_, cv::InputArray R_,
                              float scale, cuda::GpuMat& map_x, cuda::GpuMat& map_y, cuda::Stream& stream) {
  const Mat K = K_.getMat(), R = R_.getMat();
  checkCamera(K, R);
  const Products p = products(K, R);
  createMaps(dst_roi, map_x, map_y);
  cv::cuda::device::imgproc::buildWarpCylindricalMaps(dst_roi.x, dst_roi.y, map_x, map_y, p.K_Rinv.ptr<float>(),
                                                      p.R_Kinv.ptr<float>(), scale, stream.cudaPtr());
}

}  // namespace lumaweave
