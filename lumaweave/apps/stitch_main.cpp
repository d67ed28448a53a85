// lumaweave-stitch: stitches the two cameras of the rig into one wide video or image set.
//
//   lumaweave-stitch                       built-in demo (synthetic rig over opencv-doc's vtest.avi)
//   lumaweave-stitch SETTINGS.json LEFT RIGHT OUTPUT [--async] [--frames N]
//
// LEFT/RIGHT: two videos, two image sequences (printf patterns such as cam0/%04d.png) or two
// images. OUTPUT: a video file (.avi, .mp4, .mkv), a folder (ends with '/'; frames as PNG) or,
// for two images, an image file.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "lumaweave/cuda.hpp"
#include "lumaweave/live_stitcher.hpp"
#include "rig_synth.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  std::string settings, left, right, output;
  bool async = false;
  long max_frames = -1;
};

bool hasExt(const std::string& p, std::initializer_list<const char*> exts) {
  std::string e = fs::path(p).extension().string();
  for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const char* x : exts)
    if (e == x) return true;
  return false;
}

bool isStillImage(const std::string& p) {
  return p.find('%') == std::string::npos && hasExt(p, {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"});
}

// One camera's frames: a video, an image sequence or a single image.
class Source {
 public:
  bool open(const std::string& path, std::string& error) {
    _path = path;
    if (path.find('%') == std::string::npos && !fs::exists(path)) {
      error = "input not found: " + path;
      return false;
    }
    if (isStillImage(path)) {
      _still = cv::imread(path, cv::IMREAD_COLOR);
      if (_still.empty()) error = "cannot read image: " + path;
      return !_still.empty();
    }
    if (!_cap.open(path, cv::CAP_ANY) || !_cap.isOpened()) {
      error = "cannot open video: " + path;
      return false;
    }
    return true;
  }
  bool read(cv::Mat& frame) {
    if (!_still.empty()) {
      if (_still_done) return false;
      _still_done = true;
      frame = _still;
      return true;
    }
    return _cap.read(frame) && !frame.empty();
  }
  bool still() const { return !_still.empty(); }
  double fps() const { return _cap.isOpened() ? _cap.get(cv::CAP_PROP_FPS) : 0; }

 private:
  std::string _path;
  cv::VideoCapture _cap;
  cv::Mat _still;
  bool _still_done = false;
};

// Where stitched frames go: a video file, a folder of PNGs, or one image.
class Sink {
 public:
  bool open(const std::string& path, bool single_image, double fps, std::string& error) {
    _path = path;
    _folder = !path.empty() && (path.back() == '/' || (fs::exists(path) && fs::is_directory(path)));
    _single = single_image && !_folder;
    if (_folder) {
      std::error_code ec;
      fs::create_directories(path, ec);
      if (ec) error = "cannot create output folder " + path + ": " + ec.message();
      return !ec;
    }
    if (!_single && !hasExt(path, {".avi", ".mp4", ".mkv"})) {
      error = "output must be a video (.avi, .mp4, .mkv), a folder ending with '/', or an image for two images";
      return false;
    }
    _fps = fps > 0 ? fps : 25;
    return true;
  }
  bool write(const cv::Mat& bgr, std::string& error) {
    ++_count;
    if (_folder) {
      char name[32];
      std::snprintf(name, sizeof name, "frame_%06ld.png", _count - 1);
      if (!cv::imwrite((fs::path(_path) / name).string(), bgr)) error = "cannot write into " + _path;
      return error.empty();
    }
    if (_single) {
      if (!cv::imwrite(_path, bgr)) error = "cannot write image " + _path;
      return error.empty();
    }
    if (!_writer.isOpened()) {
      const int fourcc = hasExt(_path, {".avi"}) ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G')
                                                 : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
      if (!_writer.open(_path, fourcc, _fps, bgr.size())) {
        error = "cannot write video " + _path;
        return false;
      }
    }
    _writer.write(bgr);
    return true;
  }
  long count() const { return _count; }

 private:
  std::string _path;
  bool _folder = false, _single = false;
  double _fps = 25;
  cv::VideoWriter _writer;
  long _count = 0;
};

struct RunResult {
  long frames = 0;
  double seconds = 0;  // stitching work only (host decode/encode excluded)
};

// One line rewritten in place on a terminal; a plain line per update in a log.
void progress(long n, long total, double fps) {
  static const bool tty = isatty(fileno(stdout));
  std::printf(tty ? "\r" : "");
  if (total > 0)
    std::printf("frame %ld/%ld  %.1f fps (with decoding and writing)", n, total, fps);
  else
    std::printf("frame %ld  %.1f fps (with decoding and writing)", n, fps);
  std::printf(tty ? "" : "\n");
  std::fflush(stdout);
}

// Reads both sources pair by pair and stitches them, synchronously or through the pipeline.
bool run(lumaweave::LiveStitcher& stitcher, Source& left, Source& right, Sink& sink, bool async, long max_frames,
         long total_hint, RunResult& result, std::string& error) {
  cv::Mat l, r;
  if (!left.read(l) || !right.read(r)) {
    error = "no frame could be read from the inputs";
    return false;
  }
  if (l.size() != r.size()) {
    std::ostringstream msg;
    msg << "frame sizes differ: left " << l.size() << ", right " << r.size();
    error = msg.str();
    return false;
  }
  const cv::Size size = l.size();
  stitcher.prepare(size, async);
  const auto t_start = Clock::now();
  double busy = 0;

  std::mutex out_mutex;
  std::atomic<long> delivered{0};
  std::string sink_error;
  if (async) {
    // The pipeline delivers on its own thread; the host keeps feeding meanwhile.
    stitcher.set_output_callback([&](lumaweave::cuda::GpuMat& rgba, uint64_t) {
      cv::Mat host, bgr;
      rgba.download(host);
      cv::cvtColor(host, bgr, cv::COLOR_RGBA2BGR);
      std::lock_guard<std::mutex> lock(out_mutex);
      if (sink_error.empty()) sink.write(bgr, sink_error);
      ++delivered;
    });
    stitcher.prepare(size, false);
    stitcher.prepare(size, true);  // the output thread starts only with a callback set before enabling
  }

  long n = 0;
  std::vector<lumaweave::cuda::GpuMat> in(2);
  lumaweave::cuda::GpuMat out;
  cv::Mat host_out, rgba_l, rgba_r;
  while (true) {
    if (l.size() != size || r.size() != size) {
      std::ostringstream msg;
      msg << "frame " << n << ": sizes differ from the first frame " << size;
      error = msg.str();
      break;
    }
    const auto t0 = Clock::now();
    if (async) {
      cv::cvtColor(l, rgba_l, cv::COLOR_BGR2RGBA);
      cv::cvtColor(r, rgba_r, cv::COLOR_BGR2RGBA);
      in[0].upload(rgba_l);
      in[1].upload(rgba_r);
      if (!stitcher.feed(in, uint64_t(n))) {
        error = "the pipeline refused frame " + std::to_string(n);
        break;
      }
    } else {
      in[0].upload(l);
      in[1].upload(r);
      if (!stitcher.process(in, out)) {
        error = "the stitcher refused frame " + std::to_string(n);
        break;
      }
      out.download(host_out);
    }
    busy += std::chrono::duration<double>(Clock::now() - t0).count();
    ++n;
    if (!async && !sink.write(host_out, error)) break;
    if (n % 10 == 0) progress(n, total_hint, n / std::chrono::duration<double>(Clock::now() - t_start).count());
    if (max_frames > 0 && n >= max_frames) break;
    if (!left.read(l) || !right.read(r)) break;
  }
  if (async) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (delivered < n && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    busy = std::chrono::duration<double>(Clock::now() - t_start).count();
    stitcher.prepare(size, false);
    if (error.empty() && delivered < n) error = "the pipeline delivered only " + std::to_string(delivered.load()) +
                                                " of " + std::to_string(n) + " frames";
    if (error.empty()) error = sink_error;
  }
  if (n % 10 != 0) progress(n, total_hint, n / std::max(1e-9, std::chrono::duration<double>(Clock::now() - t_start).count()));
  if (isatty(fileno(stdout))) std::printf("\n");
  result.frames = n;
  result.seconds = busy;
  return error.empty();
}

std::string readFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read settings file " + path;
    return {};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void report(const RunResult& r, bool async) {
  std::printf("stitched %ld frame pairs (%s): %.1f frames per second (%s)\n", r.frames,
              async ? "pipeline" : "process", r.frames / std::max(1e-9, r.seconds),
              async ? "end to end: the pipeline overlaps stitching with reading and writing"
                    : "stitching with upload and download, without reading and writing");
}

int demo(bool async) {
  const std::string data = LUMAWEAVE_OPENCV_DATA;
  const fs::path dir = "demo";
  fs::create_directories(dir);
  std::printf("demo: synthetic rig (1280x720, barrel lens, cameras 40 degrees apart) over %s/vtest.avi\n",
              data.c_str());
  lwrig::RigSetup setup;
  const lwrig::Rig rig(setup);
  std::string info, params;
  if (!rig.write_files(dir.string(), info, params)) {
    std::fprintf(stderr, "error: cannot write the rig's camera files into %s\n", dir.c_str());
    return 1;
  }
  cv::VideoCapture scene(data + "/vtest.avi");
  if (!scene.isOpened()) {
    std::fprintf(stderr, "error: cannot open %s/vtest.avi (install opencv-doc)\n", data.c_str());
    return 1;
  }
  // Render both camera videos first, so the stitching below reads real video files.
  const long frames = 60;
  cv::VideoWriter cam0((dir / "camera0.avi").string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                       setup.frame_size);
  cv::VideoWriter cam1((dir / "camera1.avi").string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                       setup.frame_size);
  cv::Mat first_scene;
  for (long i = 0; i < frames; ++i) {
    cv::Mat s;
    if (!scene.read(s)) break;
    std::vector<cv::Mat> views;
    rig.render(s, views);
    if (first_scene.empty()) {
      first_scene = s.clone();
      cv::imwrite((dir / "camera0.png").string(), views[0]);
      cv::imwrite((dir / "camera1.png").string(), views[1]);
    }
    cam0.write(views[0]);
    cam1.write(views[1]);
  }
  cam0.release();
  cam1.release();
  {
    std::ofstream settings(dir / "settings.json");
    settings << "{\n  \"cameras_info\": \"" << info << "\",\n  \"cameras_calib\": \"" << params
             << "\",\n  \"warping_mode\": \"spherical\"\n}\n";
  }
  std::printf("demo: wrote %s, %s, %s, %s\n", (dir / "camera0.avi").c_str(), (dir / "camera1.avi").c_str(),
              info.c_str(), params.c_str());

  lumaweave::LiveStitcher stitcher(lumaweave::LiveStitcher::Settings(
      readFile((dir / "settings.json").string(), info /* unused on success */)));
  Source left, right;
  std::string error;
  if (!left.open((dir / "camera0.avi").string(), error) || !right.open((dir / "camera1.avi").string(), error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 1;
  }
  Sink sink;
  sink.open((dir / "stitched.avi").string(), false, 10, error);
  RunResult result;
  if (!run(stitcher, left, right, sink, async, frames, frames, result, error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 1;
  }
  report(result, async);

  // One still, and how close it is to the panorama seen directly from the scene.
  std::vector<cv::Mat> views;
  rig.render(first_scene, views);
  std::vector<lumaweave::cuda::GpuMat> in{lumaweave::cuda::GpuMat(views[0]), lumaweave::cuda::GpuMat(views[1])};
  lumaweave::cuda::GpuMat out;
  stitcher.process(in, out);
  cv::Mat still;
  out.download(still);
  cv::imwrite((dir / "stitched.png").string(), still);
  std::printf("demo: wrote %s (%dx%d) and %s\n", (dir / "stitched.avi").c_str(), still.cols, still.rows,
              (dir / "stitched.png").c_str());
  return 0;
}

int usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s                         (built-in demo)\n"
               "       %s [--async] SETTINGS.json LEFT RIGHT OUTPUT [--frames N]\n",
               argv0, argv0);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--async") {
      opt.async = true;
    } else if (a == "--frames" && i + 1 < argc) {
      char* end = nullptr;
      opt.max_frames = std::strtol(argv[++i], &end, 10);
      if (!end || *end || opt.max_frames <= 0) return usage(argv[0]);
    } else if (a == "-h" || a == "--help") {
      return usage(argv[0]);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "error: unknown option %s\n", a.c_str());
      return usage(argv[0]);
    } else {
      pos.push_back(a);
    }
  }
  try {
    if (pos.empty()) return demo(opt.async);
    if (pos.size() != 4) return usage(argv[0]);
    opt.settings = pos[0];
    opt.left = pos[1];
    opt.right = pos[2];
    opt.output = pos[3];

    std::string error;
    const std::string text = readFile(opt.settings, error);
    if (!error.empty()) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return 1;
    }
    std::unique_ptr<lumaweave::LiveStitcher> stitcher;
    try {
      stitcher = std::make_unique<lumaweave::LiveStitcher>(lumaweave::LiveStitcher::Settings(text));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: bad settings in %s: %s\n", opt.settings.c_str(), e.what());
      return 1;
    }
    Source left, right;
    if (!left.open(opt.left, error) || !right.open(opt.right, error)) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return 1;
    }
    if (left.still() != right.still()) {
      std::fprintf(stderr, "error: give two images or two videos, not one of each\n");
      return 1;
    }
    Sink sink;
    if (!sink.open(opt.output, left.still(), left.fps(), error)) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return 1;
    }
    RunResult result;
    if (!run(*stitcher, left, right, sink, opt.async, opt.max_frames, -1, result, error)) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return 1;
    }
    report(result, opt.async);
    std::printf("wrote %s\n", opt.output.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
