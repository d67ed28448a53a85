// The device layer's standard kernels, one source for the GPU and the CPU launcher.
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cuda/kernels.hpp"
#include "cuda/launch.cuh"
#include "cuda/pixel.cuh"

namespace lumaweave {
namespace cuda {
namespace kernels {

namespace {

using cv::cuda::PtrStep;
using cv::cuda::PtrStepSz;

const dim3 kBlock(32, 8);

dim3 gridFor(int cols, int rows) { return dim3(unsigned(divCeil(cols, 32)), unsigned(divCeil(rows, 8))); }

template <typename T> PtrStepSz<T> view(const GpuMat& m) {
  return PtrStepSz<T>(m.rows, m.cols, reinterpret_cast<T*>(m.data), m.step);
}

// ---------------------------------------------------------------------------- copy with mask
struct CopyMaskedKernel {
  PtrStepSz<unsigned char> src;
  mutable PtrStep<unsigned char> dst;
  PtrStep<unsigned char> mask;
  int elem_size;

  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= src.cols || y >= src.rows || !mask(y, x)) return;
    const unsigned char* s = src.ptr(y) + x * elem_size;
    unsigned char* d = dst.ptr(y) + x * elem_size;
    for (int i = 0; i < elem_size; ++i) d[i] = s[i];
  }
};

// ---------------------------------------------------------------------------- set
template <typename E> struct SetKernel {
  mutable PtrStepSz<E> dst;
  PtrStep<unsigned char> mask;
  bool masked;
  int cn;
  E value[4];

  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= dst.cols || y >= dst.rows || (masked && !mask(y, x))) return;
    E* d = dst.ptr(y) + x * cn;
    for (int c = 0; c < cn; ++c) d[c] = value[c];
  }
};

template <typename E> void setAs(GpuMat& dst, cv::Scalar s, const GpuMat* mask, Stream& stream) {
  SetKernel<E> k{view<E>(dst), PtrStep<unsigned char>(), mask != nullptr, dst.channels(), {}};
  if (mask) k.mask = PtrStep<unsigned char>(mask->data, mask->step);
  for (int c = 0; c < 4; ++c) k.value[c] = pixel::saturate<E>(s[c]);
  launch(gridFor(dst.cols, dst.rows), kBlock, stream, k, "setTo");
}

// ---------------------------------------------------------------------------- convert
template <typename S, typename D, typename W> struct ConvertKernel {
  PtrStepSz<S> src;  // cols = elements per row (pixels x channels)
  mutable PtrStep<D> dst;
  W alpha, beta;

  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= src.cols || y >= src.rows) return;
    dst.ptr(y)[x] = pixel::saturate<D>(W(src.ptr(y)[x]) * alpha + beta);
  }
};

template <typename S, typename D> void convertAs(const GpuMat& src, GpuMat& dst, double alpha, double beta,
                                                 Stream& stream) {
  const int cols = src.cols * src.channels();
  const PtrStepSz<S> s(src.rows, cols, reinterpret_cast<S*>(src.data), src.step);
  const PtrStep<D> d(reinterpret_cast<D*>(dst.data), dst.step);
  if (sizeof(S) == 8 || sizeof(D) == 8) {
    launch(gridFor(cols, src.rows), kBlock, stream, ConvertKernel<S, D, double>{s, d, alpha, beta}, "convertTo");
  } else {
    launch(gridFor(cols, src.rows), kBlock, stream,
           ConvertKernel<S, D, float>{s, d, float(alpha), float(beta)}, "convertTo");
  }
}

template <typename S> void convertFrom(const GpuMat& src, GpuMat& dst, double alpha, double beta, Stream& stream) {
  switch (dst.depth()) {
    case CV_8U: return convertAs<S, unsigned char>(src, dst, alpha, beta, stream);
    case CV_8S: return convertAs<S, signed char>(src, dst, alpha, beta, stream);
    case CV_16U: return convertAs<S, unsigned short>(src, dst, alpha, beta, stream);
    case CV_16S: return convertAs<S, short>(src, dst, alpha, beta, stream);
    case CV_32S: return convertAs<S, int>(src, dst, alpha, beta, stream);
    case CV_32F: return convertAs<S, float>(src, dst, alpha, beta, stream);
    case CV_64F: return convertAs<S, double>(src, dst, alpha, beta, stream);
    default: CV_Error(cv::Error::StsUnsupportedFormat, "convertTo: unsupported destination depth");
  }
}

// ---------------------------------------------------------------------------- remap
template <typename E, int CN> struct RemapKernel {
  PtrStepSz<E> src;
  mutable PtrStepSz<E> dst;
  PtrStep<float> xmap, ymap;
  bool linear;
  bool replicate;
  float border[4];

  LW_HOST_DEVICE void fetch(int ix, int iy, float* acc, float w) const {
    if (ix < 0 || iy < 0 || ix >= src.cols || iy >= src.rows) {
      if (!replicate) {
        for (int c = 0; c < CN; ++c) acc[c] += w * border[c];
        return;
      }
      ix = ix < 0 ? 0 : (ix >= src.cols ? src.cols - 1 : ix);
      iy = iy < 0 ? 0 : (iy >= src.rows ? src.rows - 1 : iy);
    }
    const E* p = src.ptr(iy) + ix * CN;
    for (int c = 0; c < CN; ++c) acc[c] += w * float(p[c]);
  }

  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= dst.cols || y >= dst.rows) return;
    float sx = xmap(y, x), sy = ymap(y, x);
    // Far-away or non-finite coordinates sample the border (and keep int conversions defined).
    if (!(sx > -1e6f && sx < 1e6f && sy > -1e6f && sy < 1e6f)) sx = sy = -1e6f;
    float acc[CN];
    for (int c = 0; c < CN; ++c) acc[c] = 0.f;
    if (linear) {
      // Positions snap to 1/32 pixel like OpenCV's CPU remap, so both agree within one level.
      const int qx = int(pixel::roundEven(sx * 32.f)), qy = int(pixel::roundEven(sy * 32.f));
      const int x0 = qx >> 5, y0 = qy >> 5;
      const float ax = float(qx & 31) * (1.f / 32.f), ay = float(qy & 31) * (1.f / 32.f);
      fetch(x0, y0, acc, (1.f - ax) * (1.f - ay));
      fetch(x0 + 1, y0, acc, ax * (1.f - ay));
      fetch(x0, y0 + 1, acc, (1.f - ax) * ay);
      fetch(x0 + 1, y0 + 1, acc, ax * ay);
    } else {
      fetch(int(pixel::roundEven(sx)), int(pixel::roundEven(sy)), acc, 1.f);
    }
    E* d = dst.ptr(y) + x * CN;
    for (int c = 0; c < CN; ++c) d[c] = pixel::saturate<E>(acc[c]);
  }
};

template <typename E, int CN> void remapAs(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap,
                                           int interpolation, int border_mode, cv::Scalar bv, Stream& stream) {
  RemapKernel<E, CN> k{view<E>(src),
                       view<E>(dst),
                       PtrStep<float>(reinterpret_cast<float*>(xmap.data), xmap.step),
                       PtrStep<float>(reinterpret_cast<float*>(ymap.data), ymap.step),
                       interpolation == cv::INTER_LINEAR,
                       border_mode == cv::BORDER_REPLICATE,
                       {}};
  for (int c = 0; c < 4; ++c) k.border[c] = float(pixel::saturate<E>(bv[c]));
  launch(gridFor(dst.cols, dst.rows), kBlock, stream, k, "remap");
}

// ---------------------------------------------------------------------------- colour
// RGBA <-> BGR: swap red and blue, drop alpha or set it opaque.
template <int SCN, int DCN> struct SwapRedBlueKernel {
  PtrStepSz<unsigned char> src;
  mutable PtrStep<unsigned char> dst;
  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= src.cols || y >= src.rows) return;
    const unsigned char* s = src.ptr(y) + SCN * x;
    unsigned char* d = dst.ptr(y) + DCN * x;
    d[0] = s[2];
    d[1] = s[1];
    d[2] = s[0];
    if (DCN == 4) d[3] = 255;
  }
};

// Integer BT.601 luma with 14 fractional bits, rounded: the same arithmetic as OpenCV's CPU path.
struct BgrToGrayKernel {
  PtrStepSz<unsigned char> src;
  mutable PtrStep<unsigned char> dst;
  LW_HOST_DEVICE void operator()(const ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= src.cols || y >= src.rows) return;
    const unsigned char* s = src.ptr(y) + 3 * x;
    dst.ptr(y)[x] = (unsigned char)((s[0] * 1868 + s[1] * 9617 + s[2] * 4899 + (1 << 13)) >> 14);
  }
};

}  // namespace

void copyMasked(const GpuMat& src, GpuMat& dst, const GpuMat& mask, Stream& stream) {
  CopyMaskedKernel k{view<unsigned char>(src), PtrStep<unsigned char>(dst.data, dst.step),
                     PtrStep<unsigned char>(mask.data, mask.step), int(src.elemSize())};
  launch(gridFor(src.cols, src.rows), kBlock, stream, k, "copyTo");
}

void setTo(GpuMat& dst, cv::Scalar value, const GpuMat* mask, Stream& stream) {
  switch (dst.depth()) {
    case CV_8U: return setAs<unsigned char>(dst, value, mask, stream);
    case CV_8S: return setAs<signed char>(dst, value, mask, stream);
    case CV_16U: return setAs<unsigned short>(dst, value, mask, stream);
    case CV_16S: return setAs<short>(dst, value, mask, stream);
    case CV_32S: return setAs<int>(dst, value, mask, stream);
    case CV_32F: return setAs<float>(dst, value, mask, stream);
    case CV_64F: return setAs<double>(dst, value, mask, stream);
    default: CV_Error(cv::Error::StsUnsupportedFormat, "setTo: unsupported depth");
  }
}

void convert(const GpuMat& src, GpuMat& dst, double alpha, double beta, Stream& stream) {
  switch (src.depth()) {
    case CV_8U: return convertFrom<unsigned char>(src, dst, alpha, beta, stream);
    case CV_8S: return convertFrom<signed char>(src, dst, alpha, beta, stream);
    case CV_16U: return convertFrom<unsigned short>(src, dst, alpha, beta, stream);
    case CV_16S: return convertFrom<short>(src, dst, alpha, beta, stream);
    case CV_32S: return convertFrom<int>(src, dst, alpha, beta, stream);
    case CV_32F: return convertFrom<float>(src, dst, alpha, beta, stream);
    case CV_64F: return convertFrom<double>(src, dst, alpha, beta, stream);
    default: CV_Error(cv::Error::StsUnsupportedFormat, "convertTo: unsupported source depth");
  }
}

void remap(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap, int interpolation,
           int border_mode, cv::Scalar border_value, Stream& stream) {
  switch (src.type()) {
    case CV_8UC1: return remapAs<unsigned char, 1>(src, dst, xmap, ymap, interpolation, border_mode, border_value, stream);
    case CV_8UC3: return remapAs<unsigned char, 3>(src, dst, xmap, ymap, interpolation, border_mode, border_value, stream);
    case CV_8UC4: return remapAs<unsigned char, 4>(src, dst, xmap, ymap, interpolation, border_mode, border_value, stream);
    case CV_32FC1: return remapAs<float, 1>(src, dst, xmap, ymap, interpolation, border_mode, border_value, stream);
    default: CV_Error(cv::Error::StsUnsupportedFormat, "remap: unsupported image type");
  }
}

void cvtColor(const GpuMat& src, GpuMat& dst, int code, Stream& stream) {
  const PtrStepSz<unsigned char> s = view<unsigned char>(src);
  const PtrStep<unsigned char> d(dst.data, dst.step);
  const dim3 grid = gridFor(src.cols, src.rows);
  switch (code) {
    case cv::COLOR_RGBA2BGR: return launch(grid, kBlock, stream, SwapRedBlueKernel<4, 3>{s, d}, "cvtColor");
    case cv::COLOR_BGR2RGBA: return launch(grid, kBlock, stream, SwapRedBlueKernel<3, 4>{s, d}, "cvtColor");
    case cv::COLOR_BGR2GRAY: return launch(grid, kBlock, stream, BgrToGrayKernel{s, d}, "cvtColor");
    default: CV_Error(cv::Error::StsBadFlag, "cvtColor: unsupported conversion code");
  }
}

}  // namespace kernels
}  // namespace cuda
}  // namespace lumaweave
