// Real-time stitcher of the two-camera rig.
#pragma once

#include <string>

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

  // The stitcher itself (construction, prepare, process, feed/fetch) is declared here.
};

}  // namespace lumaweave
