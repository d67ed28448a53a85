#!/usr/bin/env bash
# lumaweave-stitch end to end: the demo, then videos, images, the pipeline, and every bad input
# the program must refuse with a clear error (non-zero exit, nothing half written).
set -u
BIN=$1
WORK=$2
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
fails=0
expect() {  # expect CODE PATTERN -- command...
  local code=$1 pattern=$2
  shift 3
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" -ne "$code" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $* -> exit $rc (want $code), output:"
    echo "$out" | tail -5
    fails=$((fails + 1))
  else
    echo "ok:   $* -> exit $rc, /$pattern/"
  fi
}

expect 0 "frames per second" -- "$BIN"
for f in demo/stitched.avi demo/stitched.png demo/camera0.png demo/settings.json; do
  [ -s "$f" ] || { echo "FAIL: demo did not write $f"; fails=$((fails + 1)); }
done
S=demo/settings.json
expect 0 "stitched 12 frame pairs \(process\)" -- "$BIN" $S demo/camera0.avi demo/camera1.avi out.avi --frames 12
expect 0 "stitched 12 frame pairs \(pipeline\)" -- "$BIN" --async $S demo/camera0.avi demo/camera1.avi out.mkv --frames 12
expect 0 "stitched 3 frame pairs" -- "$BIN" $S demo/camera0.avi demo/camera1.avi frames/ --frames 3
[ -s frames/frame_000002.png ] || { echo "FAIL: no frames/frame_000002.png"; fails=$((fails + 1)); }
expect 0 "stitched 1 frame pairs" -- "$BIN" $S demo/camera0.png demo/camera1.png still.png
[ -s still.png ] || { echo "FAIL: no still.png"; fails=$((fails + 1)); }

echo "not a video" > broken.avi
echo "{ not json" > bad.json
printf '{"cameras_calib": "%s/nowhere.yml"}' "$PWD" > nocalib.json
expect 1 "cannot read settings file" -- "$BIN" missing.json demo/camera0.avi demo/camera1.avi o.avi
expect 1 "bad settings in bad.json" -- "$BIN" bad.json demo/camera0.avi demo/camera1.avi o.avi
expect 1 "Failed loading camera params from" -- "$BIN" nocalib.json demo/camera0.avi demo/camera1.avi o.avi
expect 1 "input not found: nothere.avi" -- "$BIN" $S nothere.avi demo/camera1.avi o.avi
expect 1 "cannot open video: broken.avi|no frame could be read" -- "$BIN" $S broken.avi demo/camera1.avi o.avi
expect 1 "frame sizes differ" -- "$BIN" $S demo/camera0.png demo/stitched.png o.png
expect 1 "two images or two videos" -- "$BIN" $S demo/camera0.png demo/camera1.avi o.avi
expect 1 "output must be a video" -- "$BIN" $S demo/camera0.avi demo/camera1.avi o.txt
expect 2 "usage" -- "$BIN" $S demo/camera0.avi
expect 2 "unknown option" -- "$BIN" --fast
[ ! -e o.avi ] && [ ! -e o.png ] || { echo "FAIL: a refused run wrote output"; fails=$((fails + 1)); }

echo "$fails failed"
[ "$fails" -eq 0 ]
