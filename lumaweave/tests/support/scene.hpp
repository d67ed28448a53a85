// Scene material for tests: real images from opencv-doc and small procedural fixtures.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace lwtest {

// Full path of a file of opencv-doc's sample data; fails the test when it is missing.
std::string dataPath(const std::string& name);

// A real photograph (leuvenA.jpg), optionally resized.
cv::Mat sceneImage(cv::Size size = cv::Size());

// A fresh, empty temporary folder for this test.
std::string tempDir(const std::string& tag);

// Largest absolute element difference (any type, any channel count).
double maxAbsDiff(const cv::Mat& a, const cv::Mat& b);

// Maps that sample in and around a source of src_size: a mild rotation and zoom, so a
// border strip falls outside the source and fractional positions are everywhere.
void testMaps(cv::Size src_size, cv::Size dst_size, cv::Mat& xmap, cv::Mat& ymap);

}  // namespace lwtest
