#include <utility>

#include <opencv2/core.hpp>

#include "cuda/backend.hpp"
#include "cuda/kernels.hpp"
#include "lumaweave/cuda/gpumat.hpp"

namespace lumaweave {
namespace cuda {

namespace {

bool onHost() { return activeBackend() == Backend::Host; }

void updateContinuity(GpuMat& m) {
  const bool cont = m.rows == 1 || m.step == m.cols * m.elemSize();
  m.flags = cont ? (m.flags | cv::Mat::CONTINUOUS_FLAG) : (m.flags & ~cv::Mat::CONTINUOUS_FLAG);
}

void checkMask(const GpuMat& img, const GpuMat& mask) {
  CV_Assert(mask.type() == CV_8UC1 && mask.size() == img.size());
}

}  // namespace

// ------------------------------------------------------------------------------------ Stream
struct Stream::Impl {
  void* handle = nullptr;
  ~Impl() {
#ifdef LUMAWEAVE_WITH_CUDA
    cudart::streamDestroy(handle);
#endif
  }
};

Stream::Stream() : _impl(std::make_shared<Impl>()) {
#ifdef LUMAWEAVE_WITH_CUDA
  if (activeBackend() == Backend::Cuda) {
    _impl->handle = cudart::streamCreate();
    if (!_impl->handle) LW_CUDA_CHECK(cudart::getLastError());
  }
#endif
}

Stream::~Stream() = default;

Stream& Stream::Null() {
  static Stream null_stream{NullTag{}};
  return null_stream;
}

void Stream::waitForCompletion() {
#ifdef LUMAWEAVE_WITH_CUDA
  if (activeBackend() == Backend::Cuda) {
    LW_CUDA_CHECK(_impl && _impl->handle ? cudart::streamSynchronize(_impl->handle) : cudart::deviceSynchronize());
  }
#endif
}

bool Stream::queryIfComplete() const {
#ifdef LUMAWEAVE_WITH_CUDA
  if (activeBackend() == Backend::Cuda && _impl && _impl->handle) return cudart::streamQuery(_impl->handle);
#endif
  return true;
}

void* Stream::cudaPtr() const { return _impl ? _impl->handle : nullptr; }

// ------------------------------------------------------------------------------------ GpuMat
GpuMat::GpuMat(int rows_, int cols_, int type_) { create(rows_, cols_, type_); }
GpuMat::GpuMat(cv::Size size, int type_) { create(size, type_); }
GpuMat::GpuMat(int rows_, int cols_, int type_, cv::Scalar value) {
  create(rows_, cols_, type_);
  setTo(value);
}
GpuMat::GpuMat(cv::Size size, int type_, cv::Scalar value) : GpuMat(size.height, size.width, type_, value) {}
GpuMat::GpuMat(cv::InputArray host) { upload(host); }

GpuMat::GpuMat(const GpuMat& m, cv::Rect roi) : GpuMat(m) {
  CV_Assert(0 <= roi.x && 0 <= roi.width && roi.x + roi.width <= m.cols && 0 <= roi.y && 0 <= roi.height &&
            roi.y + roi.height <= m.rows);
  data += roi.y * step + roi.x * elemSize();
  rows = roi.height;
  cols = roi.width;
  if (rows == 0 || cols == 0) {
    rows = cols = 0;
  }
  updateContinuity(*this);
}

GpuMat::GpuMat(GpuMat&& o) noexcept
    : flags(o.flags), rows(o.rows), cols(o.cols), step(o.step), data(o.data), datastart(o.datastart),
      dataend(o.dataend), _holder(std::move(o._holder)) {
  o.flags = o.rows = o.cols = 0;
  o.step = 0;
  o.data = o.datastart = nullptr;
  o.dataend = nullptr;
}

GpuMat& GpuMat::operator=(GpuMat&& o) noexcept {
  if (this != &o) {
    GpuMat tmp(std::move(o));
    std::swap(flags, tmp.flags);
    std::swap(rows, tmp.rows);
    std::swap(cols, tmp.cols);
    std::swap(step, tmp.step);
    std::swap(data, tmp.data);
    std::swap(datastart, tmp.datastart);
    std::swap(dataend, tmp.dataend);
    std::swap(_holder, tmp._holder);
  }
  return *this;
}

void GpuMat::create(int rows_, int cols_, int type_) {
  type_ = CV_MAT_TYPE(type_);
  CV_Assert(rows_ >= 0 && cols_ >= 0);
  if (data && rows == rows_ && cols == cols_ && type() == type_) return;
  release();
  if (rows_ == 0 || cols_ == 0) return;
  const std::size_t esz = CV_ELEM_SIZE(type_);
  const std::size_t width_bytes = esz * std::size_t(cols_);
  void* p = nullptr;
  std::size_t pitch = width_bytes;
  if (rows_ == 1)
    LW_CUDA_CHECK(cuda::malloc(&p, width_bytes));
  else
    LW_CUDA_CHECK(cuda::mallocPitch(&p, &pitch, width_bytes, std::size_t(rows_)));
  _holder = std::shared_ptr<void>(p, [](void* q) { cuda::free(q); });
  flags = type_;
  rows = rows_;
  cols = cols_;
  step = pitch;
  data = datastart = static_cast<uchar*>(p);
  dataend = data + step * (rows - 1) + width_bytes;
  updateContinuity(*this);
}

void GpuMat::release() {
  _holder.reset();
  flags = rows = cols = 0;
  step = 0;
  data = datastart = nullptr;
  dataend = nullptr;
}

void GpuMat::upload(cv::InputArray host) { upload(host, Stream::Null()); }

void GpuMat::upload(cv::InputArray host, Stream& stream) {
  const cv::Mat m = host.getMat();
  create(m.rows, m.cols, m.type());
  if (empty()) return;
  LW_CUDA_CHECK(cuda::memcpy2D(data, step, m.data, m.step, cols * elemSize(), rows, MemcpyHostToDevice,
                               stream.cudaPtr()));
}

void GpuMat::download(cv::OutputArray host) const { download(host, Stream::Null()); }

void GpuMat::download(cv::OutputArray host, Stream& stream) const {
  if (empty()) {
    host.release();
    return;
  }
  const GpuMat keep = *this;  // host may alias nothing of ours, but stay safe if it is reallocated
  host.create(rows, cols, type());
  cv::Mat m = host.getMat();
  LW_CUDA_CHECK(cuda::memcpy2D(m.data, m.step, keep.data, keep.step, cols * elemSize(), rows, MemcpyDeviceToHost,
                               stream.cudaPtr()));
}

void GpuMat::copyTo(GpuMat& dst) const { copyTo(dst, Stream::Null()); }

void GpuMat::copyTo(GpuMat& dst, Stream& stream) const {
  if (empty()) {
    dst.release();
    return;
  }
  const GpuMat src = *this;  // keeps our memory alive if dst is this image and gets reallocated
  dst.create(src.rows, src.cols, src.type());
  if (dst.data == src.data) return;
  LW_CUDA_CHECK(cuda::memcpy2D(dst.data, dst.step, src.data, src.step, src.cols * src.elemSize(), src.rows,
                               MemcpyDeviceToDevice, stream.cudaPtr()));
}

void GpuMat::copyTo(GpuMat& dst, const GpuMat& mask) const { copyTo(dst, mask, Stream::Null()); }

void GpuMat::copyTo(GpuMat& dst, const GpuMat& mask, Stream& stream) const {
  if (mask.empty()) return copyTo(dst, stream);
  checkMask(*this, mask);
  const GpuMat src = *this;
  dst.create(src.rows, src.cols, src.type());
  if (onHost()) {
    cv::Mat d = hostView(dst);
    hostView(src).copyTo(d, hostView(mask));
  } else {
    kernels::copyMasked(src, dst, mask, stream);
  }
}

GpuMat& GpuMat::setTo(cv::Scalar s) { return setTo(s, Stream::Null()); }

GpuMat& GpuMat::setTo(cv::Scalar s, Stream& stream) {
  if (empty()) return *this;
  if (onHost()) {
    hostView(*this).setTo(s);
  } else {
    kernels::setTo(*this, s, nullptr, stream);
  }
  return *this;
}

GpuMat& GpuMat::setTo(cv::Scalar s, const GpuMat& mask) { return setTo(s, mask, Stream::Null()); }

GpuMat& GpuMat::setTo(cv::Scalar s, const GpuMat& mask, Stream& stream) {
  if (mask.empty()) return setTo(s, stream);
  if (empty()) return *this;
  checkMask(*this, mask);
  if (onHost()) {
    hostView(*this).setTo(s, hostView(mask));
  } else {
    kernels::setTo(*this, s, &mask, stream);
  }
  return *this;
}

void GpuMat::convertTo(GpuMat& dst, int rtype) const { convertTo(dst, rtype, 1.0, 0.0, Stream::Null()); }
void GpuMat::convertTo(GpuMat& dst, int rtype, Stream& stream) const { convertTo(dst, rtype, 1.0, 0.0, stream); }
void GpuMat::convertTo(GpuMat& dst, int rtype, double alpha, double beta) const {
  convertTo(dst, rtype, alpha, beta, Stream::Null());
}

void GpuMat::convertTo(GpuMat& dst, int rtype, double alpha, double beta, Stream& stream) const {
  if (empty()) {
    dst.release();
    return;
  }
  const int ddepth = rtype < 0 ? depth() : CV_MAT_DEPTH(rtype);
  const int dtype = CV_MAKETYPE(ddepth, channels());
  const GpuMat src = *this;
  if (dtype == src.type() && alpha == 1.0 && beta == 0.0) return src.copyTo(dst, stream);
  GpuMat out = dst;
  if (out.data == src.data && dtype != src.type()) out.release();  // cannot convert in place across sizes
  out.create(src.rows, src.cols, dtype);
  if (onHost()) {
    cv::Mat d = hostView(out);
    hostView(src).convertTo(d, dtype, alpha, beta);
  } else {
    kernels::convert(src, out, alpha, beta, stream);
  }
  dst = out;
}

GpuMat GpuMat::clone() const {
  GpuMat m;
  copyTo(m);
  return m;
}

cv::Mat hostView(const GpuMat& m) {
  if (activeBackend() != Backend::Host)
    CV_Error(cv::Error::StsError, "hostView: image memory is on the CUDA device");
  if (m.empty()) return cv::Mat();
  return cv::Mat(m.rows, m.cols, m.type(), m.data, m.step);
}

}  // namespace cuda
}  // namespace lumaweave
