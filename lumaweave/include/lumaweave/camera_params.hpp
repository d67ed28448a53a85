// Camera info files (lens intrinsics) and camera parameter files (rig geometry).
//
// Every function reports success as a bool and logs nothing. A file that cannot be opened
// gives false. The storage-form functions (cv::FileStorage: YAML, XML or JSON chosen by
// the file name) let OpenCV's parse exception through for a file that exists but does not
// parse; load_camera_info_json turns every JSON problem into false.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/camera.hpp>

namespace lumaweave {

// Writes calibration_time, image_width, image_height, camera_matrix,
// distortion_coefficients, avg_reprojection_error, flags and, when flags has bit value 2
// (cv::CALIB_FIX_ASPECT_RATIO), aspect_ratio.
bool save_camera_info(const std::string& filepath, const cv::Mat& K, const cv::Mat& D,
                      const cv::Size& image_size, float avg_error, int flags,
                      float aspect_ratio);

// Reads image size, camera matrix and distortion coefficients of the storage form. Missing
// nodes read as 0 or as an empty matrix.
bool load_camera_info(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                      cv::Size& image_size);

// As above, then avg_reprojection_error, flags and, only when the flags just read have bit
// value 2 set, aspect_ratio (otherwise aspect_ratio is left as it was).
bool load_camera_info(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                      cv::Size& image_size, float& avg_error, int& flags,
                      float& aspect_ratio);

// Reads the JSON form: {"image_size": [w, h], "camera_matrix": [9 numbers, row-major],
// "dist_coeff": [8 numbers]}. K becomes 3x3 CV_64F, D 8x1 CV_64F; absent members or
// elements read as 0. False when the file cannot be read or parsed or a value does not
// convert; outputs written before the failure keep their new values.
bool load_camera_info_json(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                           cv::Size& image_size);

// Brings parameters estimated on images shrunk by `scale` back to full size (focal, ppx,
// ppy divided by scale). Refuses a scale <= 0 or > 1 (false, cameras unchanged).
bool rescale_camera_params(std::vector<cv::detail::CameraParams>& cameras, double scale);

// Writes the parameters of every camera and the image size they belong to.
bool save_camera_params(const std::string& filepath,
                        const std::vector<cv::detail::CameraParams>& cameras,
                        const cv::Size& image_size);

// Reads a camera parameter file. False when it cannot be opened or holds fewer than two
// cameras (image_size is written in that case, cameras is not).
bool load_camera_params(const std::string& filepath,
                        std::vector<cv::detail::CameraParams>& cameras, cv::Size& image_size);

}  // namespace lumaweave
