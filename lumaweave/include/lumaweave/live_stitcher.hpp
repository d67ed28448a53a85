// Real-time stitcher of the two-camera rig.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "lumaweave/cuda/gpumat.hpp"
#include "lumaweave/fast_warpers.hpp"

namespace lumaweave {

class LiveStitcher {
 public:
  // Configuration of a stitcher, read from the JSON settings document the host hands over.
  // Every stitcher keeps its own copy; changing a Settings object later does not affect a
  // stitcher built from it.
  struct Settings {
    std::string camera_info;                // "cameras_info": camera info file (JSON form); empty: no undistortion
    std::string camera_params;              // "cameras_calib": camera parameter file
    std::string warp_type = "spherical";    // "warping_mode": "plane", "spherical" or "cylindrical"
    std::string expos_comp_type = "no";     // "expos_comp_mode"
    int expos_comp_nr_feeds = 3;            // "expos_comp_nr_feeds"
    int expos_comp_nr_filtering = 3;        // "expos_comp_nr_filter"
    int expos_comp_block_size = 32;         // "expos_comp_block_size"
    double expos_comp_scale = -1;           // "expos_comp_scale"
    int expos_comp_interval = 1800;         // "expos_comp_interval"
    std::string seam_type = "no";           // "seam_find_mode"
    int seam_find_iterations = 10;          // "seamFindIter"
    int seam_find_terminal_cost = 10000000; // "seamFindTermCost"
    int seam_find_window_min = 9;           // "seamFindWindowMin"
    int seam_find_window_max = 23;          // "seamFindWindowMax"
    int seam_find_bad_penalty = 10000000;   // "seamFindBadPenalty"
    int seam_find_gap_width = 5;            // "seamFindGapWidth"
    double seam_scale = 0.1;                // "seamFindScale"
    std::string blend_type = "no";          // "blending_mode": "no" or "multiband"
    int blend_margin = 10;                  // "seamFindMargin"
    int num_bands = 5;                      // "num_bands"
    int buffer_size = 4;                    // no key: frame buffers of the asynchronous pipeline

    // "seamFindMaxBfs": breadth-first search budget per window pixel of the seam finder.
    // Kept after the documented members so their order stays as it always was. 0 means
    // "not given": the document did not set it and a seam finder should use its own budget.
    double seam_find_max_bfs = 0;

    // Builds the settings from the JSON text itself (not a file path). An empty text gives
    // the defaults. Text that is not JSON throws Json::RuntimeError; a value of the wrong kind
    // throws Json::LogicError.
    explicit Settings(const std::string& config);
    Settings(const Settings&) = default;
    Settings& operator=(const Settings&) = default;
    ~Settings() = default;

    // Ten "name: value" lines summarising the settings that matter at run time.
    std::string to_string() const;
  };

  // One frame pair in flight through the asynchronous pipeline.
  struct FrameBuffer {
    uint64_t frame_id = 0;
    uint64_t timestamp = 0;
    std::vector<cuda::GpuMat> input_images;   // per camera, BGR
    std::vector<cuda::GpuMat> warped_images;  // per camera
    cuda::GpuMat output_image;                // stitched, BGR, output size
    uint64_t generation = 0;                  // the pipeline run that owns the buffer
  };

  // Receives each stitched image (RGBA, owned by the stitcher and overwritten by the next
  // frame) and its timestamp, on the output thread. It must not prepare or destroy the stitcher.
  using callback_t = std::function<void(cuda::GpuMat&, uint64_t)>;

  explicit LiveStitcher(const Settings& settings);
  ~LiveStitcher();
  LiveStitcher(const LiveStitcher&) = delete;
  LiveStitcher& operator=(const LiveStitcher&) = delete;

  // Loads the camera files and builds the geometry for frames of input_size (only when the
  // size changed or the last preparation failed), then switches the pipeline on or off.
  // Failures throw std::runtime_error (or OpenCV's exception); the stitcher then refuses
  // frames until a preparation completes.
  void prepare(const cv::Size& input_size, bool enable_async);

  // Stitches one BGR frame per camera synchronously; false (and an ERROR record) when refused.
  bool process(const std::vector<cuda::GpuMat>& in_images, cuda::GpuMat& out_image,
               cuda::Stream& stream = cuda::Stream::Null());

  // Hands one RGBA frame per camera to the pipeline; blocks while every buffer is busy.
  bool feed(const std::vector<cuda::GpuMat>& in_images, uint64_t timestamp,
            cuda::Stream& stream = cuda::Stream::Null());
  // Takes the oldest stitched frame (BGR) without waiting; false when none is ready.
  bool fetch(cuda::GpuMat& out_image, uint64_t& timestamp);

  void set_output_callback(const callback_t& callback) { _output_callback = callback; }
  cv::Size output_size() { return _output_size; }

 private:
  using BufferPtr = std::shared_ptr<FrameBuffer>;

  void prepare_undistortion();
  void prepare_warping();
  void enable_async_processing();
  void disable_async_processing();

  void warp_images(const std::vector<cuda::GpuMat>& in_images, std::vector<cuda::GpuMat>& warped_images);
  void stitch_images(const std::vector<cuda::GpuMat>& warped_images, cuda::GpuMat& output_image);
  void warping_thread();
  void stitching_thread();
  void output_thread();
  void recycle(const BufferPtr& buffer);

  Settings _settings;
  int _num_cameras;
  uint64_t _frame_count;
  cv::Size _input_size;
  cv::Size _output_size;
  cuda::GpuMat _output_image;
  cv::Ptr<UndistortWarper> _undistorter;
  cv::Rect _undistorted_roi;
  std::vector<cuda::GpuMat> _undistorted_images;
  std::vector<cv::Ptr<ProjectWarper>> _warpers;
  std::vector<cv::Rect> _warped_rects;
  std::vector<cv::Point> _warped_corners;
  std::vector<cv::Size> _warped_sizes;
  std::vector<cv::Rect> _crop_rects;
  std::vector<cv::Rect> _output_rects;
  std::vector<cuda::GpuMat> _warped_masks;
  std::vector<cuda::GpuMat> _warped_images;

  std::atomic<bool> _async_processing;
  callback_t _output_callback;

  std::deque<BufferPtr> _buffer_pool;
  std::mutex _buffer_pool_mutex;
  std::condition_variable _buffer_pool_cond;
  std::deque<BufferPtr> _input_queue;
  std::mutex _input_queue_mutex;
  std::condition_variable _input_queue_cond;
  std::deque<BufferPtr> _warped_queue;
  std::mutex _warped_queue_mutex;
  std::condition_variable _warped_queue_cond;
  std::deque<BufferPtr> _output_queue;
  std::mutex _output_queue_mutex;
  std::condition_variable _output_queue_cond;
  std::thread _warping_thread;
  std::thread _stitching_thread;
  std::thread _output_thread;

  // Whether the geometry of _input_size is complete (false after a failed preparation).
  bool _prepared = false;
  // Incremented at each enabling; a buffer of an older run never re-enters the pipeline.
  std::atomic<uint64_t> _generation{0};
  // The callback the running output thread calls, fixed when the pipeline was enabled.
  callback_t _active_callback;
};

}  // namespace lumaweave
