#include "lumaweave/live_stitcher.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "log.hpp"
#include "lumaweave/camera_params.hpp"
#include "lumaweave/cuda/ops.hpp"
#include "lumaweave/logging.hpp"
#include "stitch_geometry.hpp"

namespace lumaweave {

LiveStitcher::LiveStitcher(const Settings& settings)
    : _settings(settings), _num_cameras(2), _frame_count(0), _input_size(0, 0), _output_size(0, 0),
      _async_processing(false) {
  setup_console_logging("WARNING");
}

LiveStitcher::~LiveStitcher() { disable_async_processing(); }

// ------------------------------------------------------------------------------ preparation
void LiveStitcher::prepare(const cv::Size& input_size, bool enable_async) {
  if (!enable_async && _async_processing) disable_async_processing();

  if (input_size != _input_size || !_prepared) {
    if (input_size.width <= 0 || input_size.height <= 0) {
      std::ostringstream msg;
      msg << "Invalid input size: " << input_size;
      throw std::runtime_error(msg.str());
    }
    // The stage threads read the geometry: they must not run while it is rebuilt, and no
    // buffer of the old size may come back afterwards.
    if (_async_processing) disable_async_processing();
    _prepared = false;
    _input_size = input_size;
    prepare_undistortion();
    prepare_warping();
    _prepared = true;
  }

  if (enable_async && !_async_processing) enable_async_processing();
}

void LiveStitcher::prepare_undistortion() {
  LOGI << "Prepare undistortion...";
  _undistorter.release();
  if (_settings.camera_info.empty()) {
    LOGW << "!!! Undistortion is not enabled !!!";
    return;
  }
  LOGI << "Loading camera info from: " << _settings.camera_info;
  cv::Mat camMatrix, distCoeffs;
  cv::Size imgSize;
  if (!load_camera_info_json(_settings.camera_info, camMatrix, distCoeffs, imgSize)) {
    char msg[1024];
    std::snprintf(msg, sizeof msg, "Failed loading camera info from %s", _settings.camera_info.c_str());
    throw std::runtime_error(msg);
  }
  LOGI << "Resolution: " << imgSize;
  LOGI << "camera matrix:\n" << camMatrix;
  LOGI << "distortion coefficents:\n" << distCoeffs;

  if (imgSize.width == 0 || imgSize.height == 0) {
    LOGW << "Camera info size is not set.";
  } else if (imgSize != _input_size) {
    const double scale = double(_input_size.width) / imgSize.width;
    if (std::abs(scale - double(_input_size.height) / imgSize.height) > 0.001) {
      LOGE << "Input image size: " << _input_size;
      LOGE << "Camera info size: " << imgSize;
      throw std::runtime_error("Incompatible camera info for input size");
    }
    LOGI << "Camera info scale by: " << scale;
    camMatrix.at<double>(0, 0) *= scale;
    camMatrix.at<double>(0, 2) *= scale;
    camMatrix.at<double>(1, 1) *= scale;
    camMatrix.at<double>(1, 2) *= scale;
    LOGI << "Scaled camera matrix:\n" << camMatrix;
  }

  LOGI << "Prepare undistorter";
  _undistorter = cv::makePtr<UndistortWarper>(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  _undistorted_roi = _undistorter->prepare(_input_size, camMatrix, distCoeffs);
  LOGI << "Undistortion output roi: " << _undistorted_roi;
  LOGI << "Prepare undistortion done!";
}

void LiveStitcher::prepare_warping() {
  LOGI << "Prepare warping...";
  if (_settings.camera_params.empty()) throw std::runtime_error("Camera params is not set!");
  LOGI << "Loading camera params from: " << _settings.camera_params;
  std::vector<cv::detail::CameraParams> cameras;
  cv::Size imgSize;
  if (!load_camera_params(_settings.camera_params, cameras, imgSize))
    throw std::runtime_error("Failed loading camera params from " + _settings.camera_params);
  if (int(cameras.size()) != _num_cameras)
    throw std::runtime_error("Unsupported cameras number in camera params file");

  const cv::Size image_size = _input_size;
  LOGI << "Warping on image size: " << image_size;
  for (int i = 0; i < _num_cameras; ++i) {
    cv::detail::CameraParams& cam = cameras[i];
    std::cout << "Camera #" << i << std::endl;
    std::cout << "Resolution: " << imgSize << std::endl;
    std::cout << "R:\n" << cam.R << "\nK:\n" << cam.K() << std::endl;
    if (imgSize != image_size) {
      std::cout << "Rescaled camera params #" << i << ":" << std::endl;
      const double scale = double(image_size.width) / imgSize.width;
      // A missing size (0) gives no usable scale; refuse it like any other mismatch.
      if (imgSize.width <= 0 || imgSize.height <= 0 ||
          !(std::abs(scale - double(image_size.height) / imgSize.height) <= 0.01)) {
        LOGE << "input image size: " << image_size;
        LOGE << "camera params size: " << imgSize;
        throw std::runtime_error("Invalid camera params with incompatible aspect");
      }
      std::cout << "camera params " << i << " scale by: " << scale << std::endl;
      cam.focal *= scale;
      cam.ppx *= scale;
      cam.ppy *= scale;
      std::cout << "K:\n" << cam.K() << "\nR:\n" << cam.R << std::endl;
    }
  }

  std::vector<float> focals;
  for (const auto& cam : cameras) focals.push_back(float(cam.focal));
  std::sort(focals.begin(), focals.end());
  const size_t n = focals.size();
  const float median_focal = n % 2 == 1 ? focals[n / 2] : (focals[n / 2 - 1] + focals[n / 2]) * 0.5f;
  std::cout << "Cameras median focal: " << median_focal << std::endl;

  _warpers.assign(_num_cameras, cv::Ptr<ProjectWarper>());
  for (int i = 0; i < _num_cameras; ++i) {
    std::cout << "Warper " << i << ": " << _settings.warp_type << std::endl;
    if (_settings.warp_type == "plane")
      _warpers[i] = cv::makePtr<PlaneWarper>(median_focal);
    else if (_settings.warp_type == "spherical")
      _warpers[i] = cv::makePtr<SphericalWarper>(median_focal);
    else if (_settings.warp_type == "cylindrical")
      _warpers[i] = cv::makePtr<CylindricalWarper>(median_focal);
    else
      throw std::runtime_error("Unsupported warper type.");
  }

  std::vector<cv::Rect> project_rects(_num_cameras);
  for (int i = 0; i < _num_cameras; ++i) {
    cv::Mat K;
    cameras[i].K().convertTo(K, CV_32F);
    project_rects[i] = _warpers[i]->prepare(image_size, K, cameras[i].R);
    std::cout << "Projection rect " << i << ": " << project_rects[i] << std::endl;
  }

  _warped_masks.assign(_num_cameras, cuda::GpuMat());
  const cuda::GpuMat full_mask(image_size, CV_8UC1, cv::Scalar::all(255));
  for (int i = 0; i < _num_cameras; ++i) _warpers[i]->warp(full_mask, _warped_masks[i], cuda::Stream::Null());

  const StitchGeometry g = computeStitchGeometry(project_rects[0], project_rects[1]);
  std::cout << "projection rect: " << g.project_rect << std::endl;
  _warped_rects = g.warped_rects;
  _warped_corners.clear();
  _warped_sizes.clear();
  for (int i = 0; i < _num_cameras; ++i) {
    _warped_corners.push_back(_warped_rects[i].tl());
    _warped_sizes.push_back(_warped_rects[i].size());
    std::cout << "warped rect " << i << ": " << _warped_rects[i] << std::endl;
  }
  std::cout << "overap: " << g.overlap << std::endl;
  _output_rects = g.output_rects;
  _crop_rects = g.crop_rects;
  for (int i = 0; i < _num_cameras; ++i) {
    std::cout << "output rect " << i << ": " << _output_rects[i] << std::endl;
    std::cout << "crop rect " << i << ": " << _crop_rects[i] << std::endl;
  }
  std::cout << "Warping output size: " << g.project_rect.size() << std::endl;
  _output_size = g.output_size;
  std::cout << "Adjusted output size: " << _output_size << std::endl;
  std::cout << "prepare_projection done!" << std::endl;
}

// ------------------------------------------------------------------------------ frames
void LiveStitcher::warp_images(const std::vector<cuda::GpuMat>& in_images, std::vector<cuda::GpuMat>& warped_images) {
  warped_images.resize(_num_cameras);
  if (_undistorter) {
    _undistorted_images.resize(_num_cameras);
    for (int i = 0; i < _num_cameras; ++i) {
      LOGD << "Undistortion and warping " << i;
      _undistorter->warp(in_images[i], _undistorted_images[i], cuda::Stream::Null());
      _warpers[i]->warp(_undistorted_images[i], warped_images[i], cuda::Stream::Null());
    }
  } else {
    for (int i = 0; i < _num_cameras; ++i) {
      LOGD << "Warping " << i;
      _warpers[i]->warp(in_images[i], warped_images[i], cuda::Stream::Null());
    }
  }
}

void LiveStitcher::stitch_images(const std::vector<cuda::GpuMat>& warped_images, cuda::GpuMat& output_image) {
  if (output_image.size() != _output_size || output_image.type() != CV_8UC3) {
    output_image.create(_output_size, CV_8UC3);
    output_image.setTo(cv::Scalar::all(0));  // once: pixels no camera covers stay black
  }
  for (int i = 0; i < _num_cameras; ++i) {
    LOGD << "Stitch image " << i;
    cuda::GpuMat dst = output_image(_output_rects[i]);
    warped_images[i](_crop_rects[i]).copyTo(dst, cuda::Stream::Null());
  }
}

bool LiveStitcher::process(const std::vector<cuda::GpuMat>& in_images, cuda::GpuMat& out_image, cuda::Stream&) {
  LOGD << "Process...";
  if (int(in_images.size()) != _num_cameras) {
    LOGE << "Unsupported image number: " << in_images.size();
    return false;
  }
  for (int i = 0; i < _num_cameras; ++i) {
    if (in_images[i].size() != _input_size) {
      LOGE << "Unsupported image size " << i << ": " << in_images[i].size();
      return false;
    }
  }
  if (!_prepared) {
    LOGE << "Stitcher is not prepared";
    return false;
  }
  // The pipeline's threads use the same working buffers.
  if (_async_processing) {
    LOGE << "Async processing is enabled: use feed";
    return false;
  }
  // Another type would be pasted into a fresh buffer instead of the BGR output.
  for (int i = 0; i < _num_cameras; ++i) {
    if (in_images[i].type() != CV_8UC3) {
      LOGE << "Unsupported image type " << i << ": " << cv::typeToString(in_images[i].type());
      return false;
    }
  }
  warp_images(in_images, _warped_images);
  stitch_images(_warped_images, _output_image);
  _output_image.copyTo(out_image, cuda::Stream::Null());
  ++_frame_count;
  return true;
}

// ------------------------------------------------------------------------------ pipeline
namespace {

using BufferPtr = std::shared_ptr<LiveStitcher::FrameBuffer>;

// Waits while the pipeline runs and the queue is empty, then takes the front buffer (if any).
BufferPtr takeFront(std::deque<BufferPtr>& queue, std::mutex& mutex, std::condition_variable& cond,
                    const std::atomic<bool>& running, const char* what) {
  std::unique_lock<std::mutex> lock(mutex);
  LOGD << what << queue.size();
  cond.wait(lock, [&] { return !running || !queue.empty(); });
  if (queue.empty()) return nullptr;
  BufferPtr buffer = std::move(queue.front());
  queue.pop_front();
  return buffer;
}

// Wakes every waiter of a place; taking its mutex first means a waiter between its predicate
// check and its wait cannot miss the wake-up.
void wakeAll(std::mutex& mutex, std::condition_variable& cond) {
  { std::lock_guard<std::mutex> lock(mutex); }
  cond.notify_all();
}

size_t clearQueue(std::deque<BufferPtr>& queue, std::mutex& mutex) {
  std::lock_guard<std::mutex> lock(mutex);
  const size_t n = queue.size();
  queue.clear();
  return n;
}

}  // namespace

void LiveStitcher::enable_async_processing() {
  if (_settings.buffer_size < 1) {
    LOGE << "Invalid buffer size: " << _settings.buffer_size;
    throw std::runtime_error("Invalid buffer size for async processing: " + std::to_string(_settings.buffer_size));
  }
  LOGI << "Enable async processing...";
  const uint64_t generation = ++_generation;
  _active_callback = _output_callback;
  _async_processing = true;
  LOGI << "Prepare buffer pool: " << _settings.buffer_size;
  {
    std::lock_guard<std::mutex> lock(_buffer_pool_mutex);
    for (int i = 0; i < _settings.buffer_size; ++i) {
      auto buffer = std::make_shared<FrameBuffer>();
      buffer->input_images.resize(_num_cameras);
      buffer->warped_images.resize(_num_cameras);
      buffer->generation = generation;
      _buffer_pool.push_back(std::move(buffer));
    }
  }
  LOGI << "Starting warping thread";
  _warping_thread = std::thread(&LiveStitcher::warping_thread, this);
  LOGI << "Starting stitching thread";
  _stitching_thread = std::thread(&LiveStitcher::stitching_thread, this);
  if (_active_callback) {
    LOGI << "Starting output thread";
    _output_thread = std::thread(&LiveStitcher::output_thread, this);
  }
  LOGI << "Async processing enabled!";
}

void LiveStitcher::disable_async_processing() {
  LOGI << "Disable async processing...";
  _async_processing = false;
  LOGI << "Wakeup input";
  wakeAll(_buffer_pool_mutex, _buffer_pool_cond);
  if (_warping_thread.joinable()) {
    LOGI << "Wakeup warping";
    wakeAll(_input_queue_mutex, _input_queue_cond);
    _warping_thread.join();
  }
  if (_stitching_thread.joinable()) {
    LOGI << "Wakeup stitching";
    wakeAll(_warped_queue_mutex, _warped_queue_cond);
    _stitching_thread.join();
  }
  if (_output_thread.joinable()) {
    LOGI << "Wakeup output";
    wakeAll(_output_queue_mutex, _output_queue_cond);
    _output_thread.join();
  }
  LOGI << "Clear the buffer pool";
  {
    std::lock_guard<std::mutex> lock(_buffer_pool_mutex);
    _buffer_pool.clear();
  }
  // Frames still queued belong to this run (and perhaps to a size about to change): drop them.
  const size_t dropped = clearQueue(_input_queue, _input_queue_mutex) + clearQueue(_warped_queue, _warped_queue_mutex) +
                         clearQueue(_output_queue, _output_queue_mutex);
  if (dropped) {
    LOGI << "Dropped queued frames: " << dropped;
  }
  LOGI << "Async processing disabled!";
}

void LiveStitcher::recycle(const BufferPtr& buffer) {
  {
    std::lock_guard<std::mutex> lock(_buffer_pool_mutex);
    if (!_async_processing || buffer->generation != _generation) return;
    _buffer_pool.push_back(buffer);
  }
  _buffer_pool_cond.notify_one();
}

bool LiveStitcher::feed(const std::vector<cuda::GpuMat>& in_images, uint64_t timestamp, cuda::Stream&) {
  LOGD << "Feed...";
  if (!_async_processing) {
    LOGE << "Async processing is not enabled";
    return false;
  }
  if (int(in_images.size()) != _num_cameras) {
    LOGE << "Unsupported image number: " << in_images.size();
    return false;
  }
  for (int i = 0; i < _num_cameras; ++i) {
    if (in_images[i].size() != _input_size) {
      LOGE << "Unsupported image size " << i << ": " << in_images[i].size();
      return false;
    }
  }
  BufferPtr buffer;
  {
    std::unique_lock<std::mutex> lock(_buffer_pool_mutex);
    LOGD << "--- Waiting on buffer pool for buffer: " << _buffer_pool.size();
    _buffer_pool_cond.wait(lock, [&] { return !_async_processing || !_buffer_pool.empty(); });
    if (!_buffer_pool.empty()) {
      buffer = std::move(_buffer_pool.front());
      _buffer_pool.pop_front();
    }
  }
  if (!_async_processing || !buffer) return false;

  try {
    for (int i = 0; i < _num_cameras; ++i) {
      LOGD << "RGBA to BGR " << i;
      cuda::cvtColor(in_images[i], buffer->input_images[i], cv::COLOR_RGBA2BGR, 0, cuda::Stream::Null());
    }
  } catch (...) {
    recycle(buffer);  // a bad frame must not cost the pool a buffer
    throw;
  }
  buffer->frame_id = _frame_count;
  buffer->timestamp = timestamp;
  {
    std::lock_guard<std::mutex> lock(_input_queue_mutex);
    if (!_async_processing || buffer->generation != _generation) return false;
    LOGD << "Push buffer to input queue: " << _input_queue.size();
    _input_queue.push_back(buffer);
  }
  _input_queue_cond.notify_one();
  ++_frame_count;
  return true;
}

bool LiveStitcher::fetch(cuda::GpuMat& out_image, uint64_t& timestamp) {
  LOGD << "Fetch...";
  if (!_async_processing) {
    LOGE << "Async processing is not enabled";
    return false;
  }
  LOGD << "Get buffer from output queue";
  BufferPtr buffer;
  {
    std::lock_guard<std::mutex> lock(_output_queue_mutex);
    if (!_output_queue.empty()) {
      buffer = std::move(_output_queue.front());
      _output_queue.pop_front();
    }
  }
  if (!buffer) {
    LOGD << "Failed to get buffer from output queue";
    return false;
  }
  try {
    buffer->output_image.copyTo(out_image, cuda::Stream::Null());
  } catch (...) {
    recycle(buffer);
    throw;
  }
  timestamp = buffer->timestamp;
  LOGD << "Push buffer to buffer pool";
  recycle(buffer);
  return true;
}

namespace {

// The loop every stage thread runs: take a buffer from its queue, work on it, hand it on. An
// exception in the work drops that frame (its buffer goes back to the pool) and the thread
// keeps running: a bad frame must never end the host process.
template <class Work, class HandOn, class Recycle>
void runStage(const char* name, std::deque<BufferPtr>& queue, std::mutex& mutex, std::condition_variable& cond,
              const std::atomic<bool>& running, const char* wait_msg, Work work, HandOn hand_on, Recycle recycle) {
  LOGI << name << " thread in";
  while (running) {
    BufferPtr buffer = takeFront(queue, mutex, cond, running, wait_msg);
    if (!running) break;
    if (!buffer) continue;
    try {
      work(*buffer);
    } catch (const std::exception& e) {
      LOGE << name << " thread dropped frame " << buffer->frame_id << ": " << e.what();
      recycle(buffer);
      continue;
    } catch (...) {
      LOGE << name << " thread dropped frame " << buffer->frame_id << ": unknown exception";
      recycle(buffer);
      continue;
    }
    hand_on(std::move(buffer));
  }
  LOGI << name << " thread out";
}

void pushBack(std::deque<BufferPtr>& queue, std::mutex& mutex, std::condition_variable& cond, BufferPtr buffer,
              const char* what) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    LOGD << what << queue.size();
    queue.push_back(std::move(buffer));
  }
  cond.notify_one();
}

}  // namespace

void LiveStitcher::warping_thread() {
  runStage(
      "Warping", _input_queue, _input_queue_mutex, _input_queue_cond, _async_processing,
      "--- Waiting on input queue for buffer: ",
      [this](FrameBuffer& b) { warp_images(b.input_images, b.warped_images); },
      [this](BufferPtr b) {
        pushBack(_warped_queue, _warped_queue_mutex, _warped_queue_cond, std::move(b), "Push buffer to warped queue: ");
      },
      [this](const BufferPtr& b) { recycle(b); });
}

void LiveStitcher::stitching_thread() {
  runStage(
      "Stitching", _warped_queue, _warped_queue_mutex, _warped_queue_cond, _async_processing,
      "--- Waiting on warped queue for buffer: ",
      [this](FrameBuffer& b) { stitch_images(b.warped_images, b.output_image); },
      [this](BufferPtr b) {
        pushBack(_output_queue, _output_queue_mutex, _output_queue_cond, std::move(b), "Push buffer to output queue: ");
      },
      [this](const BufferPtr& b) { recycle(b); });
}

void LiveStitcher::output_thread() {
  auto to_pool_front = [this](BufferPtr b) {
    {
      std::lock_guard<std::mutex> lock(_buffer_pool_mutex);
      LOGD << "Push buffer to pool: " << _buffer_pool.size();
      if (b->generation == _generation) _buffer_pool.push_front(std::move(b));
    }
    _buffer_pool_cond.notify_one();
  };
  runStage(
      "Output", _output_queue, _output_queue_mutex, _output_queue_cond, _async_processing,
      "--- Waiting on output queue for buffer: ",
      [this](FrameBuffer& b) {
        LOGD << "BGR to RGBA";
        cuda::cvtColor(b.output_image, _output_image, cv::COLOR_BGR2RGBA, 0, cuda::Stream::Null());
        LOGD << "Callback";
        _active_callback(_output_image, b.timestamp);
      },
      to_pool_front, to_pool_front);
}

}  // namespace lumaweave
