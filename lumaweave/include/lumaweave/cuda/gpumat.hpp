// Device images and streams: the subset of cv::cuda::GpuMat / cv::cuda::Stream the library needs,
// backed by host RAM or by CUDA memory depending on the active backend.
#pragma once

#include <cstddef>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/core/cuda_types.hpp>

#include "lumaweave/cuda/runtime.hpp"

namespace lumaweave {
namespace cuda {

class Stream {
 public:
  Stream();  // a new asynchronous stream (a real CUDA stream on the cuda backend)
  ~Stream();
  Stream(const Stream&) = default;
  Stream& operator=(const Stream&) = default;

  // The default stream; work queued on it is complete when the call returns.
  static Stream& Null();

  void waitForCompletion();
  bool queryIfComplete() const;
  bool isNull() const { return _impl == nullptr; }
  void* cudaPtr() const;  // the cudaStream_t, nullptr for the null stream and on the host backend

 private:
  struct Impl;
  struct NullTag {};
  explicit Stream(NullTag) {}
  std::shared_ptr<Impl> _impl;
};

class GpuMat {
 public:
  GpuMat() = default;
  GpuMat(int rows, int cols, int type);
  GpuMat(cv::Size size, int type);
  GpuMat(int rows, int cols, int type, cv::Scalar value);
  GpuMat(cv::Size size, int type, cv::Scalar value);
  explicit GpuMat(cv::InputArray host);  // uploads
  GpuMat(const GpuMat& m, cv::Rect roi);  // view, shares memory

  GpuMat(const GpuMat&) = default;
  GpuMat(GpuMat&&) noexcept;
  GpuMat& operator=(const GpuMat&) = default;
  GpuMat& operator=(GpuMat&&) noexcept;
  ~GpuMat() = default;

  // Allocates unless the image already has exactly this size and type.
  void create(int rows, int cols, int type);
  void create(cv::Size size, int type) { create(size.height, size.width, type); }
  void release();

  void upload(cv::InputArray host);
  void upload(cv::InputArray host, Stream& stream);
  void download(cv::OutputArray host) const;
  void download(cv::OutputArray host, Stream& stream) const;

  void copyTo(GpuMat& dst) const;
  void copyTo(GpuMat& dst, Stream& stream) const;
  void copyTo(GpuMat& dst, const GpuMat& mask) const;
  void copyTo(GpuMat& dst, const GpuMat& mask, Stream& stream) const;

  GpuMat& setTo(cv::Scalar s);
  GpuMat& setTo(cv::Scalar s, Stream& stream);
  GpuMat& setTo(cv::Scalar s, const GpuMat& mask);
  GpuMat& setTo(cv::Scalar s, const GpuMat& mask, Stream& stream);

  void convertTo(GpuMat& dst, int rtype) const;
  void convertTo(GpuMat& dst, int rtype, Stream& stream) const;
  void convertTo(GpuMat& dst, int rtype, double alpha, double beta = 0.0) const;
  void convertTo(GpuMat& dst, int rtype, double alpha, double beta, Stream& stream) const;

  GpuMat clone() const;
  GpuMat operator()(cv::Rect roi) const { return GpuMat(*this, roi); }

  cv::Size size() const { return cv::Size(cols, rows); }
  int type() const { return CV_MAT_TYPE(flags); }
  int depth() const { return CV_MAT_DEPTH(flags); }
  int channels() const { return CV_MAT_CN(flags); }
  std::size_t elemSize() const { return CV_ELEM_SIZE(flags); }
  std::size_t elemSize1() const { return CV_ELEM_SIZE1(flags); }
  bool isContinuous() const { return (flags & cv::Mat::CONTINUOUS_FLAG) != 0; }
  bool empty() const { return data == nullptr || rows == 0 || cols == 0; }
  // Number of GpuMat headers sharing this allocation (0 when empty).
  long refcount() const { return _holder.use_count(); }

  uchar* ptr(int y = 0) { return data + step * y; }
  const uchar* ptr(int y = 0) const { return data + step * y; }
  template <typename T> T* ptr(int y = 0) { return reinterpret_cast<T*>(ptr(y)); }
  template <typename T> const T* ptr(int y = 0) const { return reinterpret_cast<const T*>(ptr(y)); }

  template <typename T> operator cv::cuda::PtrStepSz<T>() const {
    return cv::cuda::PtrStepSz<T>(rows, cols, reinterpret_cast<T*>(data), step);
  }
  template <typename T> operator cv::cuda::PtrStep<T>() const {
    return cv::cuda::PtrStep<T>(reinterpret_cast<T*>(data), step);
  }

  int flags = 0;
  int rows = 0;
  int cols = 0;
  std::size_t step = 0;
  uchar* data = nullptr;
  uchar* datastart = nullptr;
  const uchar* dataend = nullptr;

 private:
  std::shared_ptr<void> _holder;
};

// A cv::Mat header over the memory of a host-backend image (no copy). Throws on the cuda backend.
cv::Mat hostView(const GpuMat& m);

}  // namespace cuda
}  // namespace lumaweave
