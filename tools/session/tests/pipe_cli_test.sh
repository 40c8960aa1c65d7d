#!/usr/bin/env bash
# The main job in a pipe: `qk0340 capture --scene -` films a Y4M stream read
# from standard input (ffmpeg's test sources here) and `-o -` writes the
# delivered frames to standard output, with every message on standard
# error; ffprobe and ffmpeg read back what came out. Bad input on standard
# input is a clear error, never a crash.
# Usage: pipe_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
for tool in ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done

# probe FILE ENTRY: one stream entry as ffprobe reads it (frames counted).
probe() { ffprobe -v error -count_frames -select_streams v:0 -show_entries "stream=$2" -of csv=p=0 "$1"; }
byte() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }
testsrc() {  # testsrc SIZE SECONDS [PIXFMT]: ffmpeg's test picture as a Y4M stream
  ffmpeg -v error -f lavfi -i "testsrc2=size=$1:rate=30" -t "$2" -pix_fmt "${3:-yuv420p}" -f yuv4mpegpipe -
}
# piped NAME ARGS...: runs `qk0340 capture ARGS` with standard input from
# $WORK/in.y4m; standard output in $WORK/video, messages in $WORK/err.
piped() {
  local name="$1"; shift
  "$QK" capture --root "$R" "$@" <"$WORK/in.y4m" >"$WORK/video" 2>"$WORK/err"
  local rc=$?
  [ $rc -eq 0 ] || fail "$name: exit $rc ($(cat "$WORK/err"))"
}
says() { grep -qF -- "$2" "$WORK/err" || fail "$1: standard error lacks '$2':"$'\n'"$(cat "$WORK/err")"; }

# ---- ffmpeg's test source in, Y4M out, read back by ffprobe --------------------------------------------
testsrc 640x480 3 >"$WORK/in.y4m"
piped "testsrc2" --scene - -o -
[ "$(head -n 1 "$WORK/video")" = "YUV4MPEG2 W640 H480 F30:1 Ip A1:1 C422 XCOLORRANGE=LIMITED" ] ||
  fail "standard output does not start with the Y4M header: $(head -c 80 "$WORK/video" | head -n 1)"
says "testsrc2" "filming the Y4M stream on standard input (640x480 at 30 fps), until the stream ends"
says "testsrc2" "the stream on standard input ended after 90 frames"
frames=$(sed -nE 's/^wrote ([0-9]+) frames to standard output.*/\1/p' "$WORK/err")
# 90 frames in; the first few go to the driver's start-up, and a slow
# machine (the sanitizer builds on a loaded runner) drops many at 640x480:
# a ninth of them is still a stream.
[ -n "$frames" ] && [ "$frames" -ge 10 ] && [ "$frames" -le 87 ] || fail "testsrc2: wrote '$frames' frames"
[ "$(probe "$WORK/video" width,height,pix_fmt,r_frame_rate,nb_read_frames)" = "640,480,yuv422p,30/1,$frames" ] ||
  fail "ffprobe reads: $(probe "$WORK/video" width,height,pix_fmt,r_frame_rate,nb_read_frames)"
[ -e "$WORK/-sheet.png" ] || [ -n "$(ls "$WORK"/*sheet* 2>/dev/null)" ] && fail "a contact sheet was written with -o -"

# RGB24 comes out as 4:4:4, and ffmpeg reads it straight from the pipe.
testsrc 320x240 1 >"$WORK/in.y4m"
"$QK" capture --root "$R" --scene - --format rgb24 --size 320x240 -o - --sheet "$WORK/sheet.png" <"$WORK/in.y4m" 2>"$WORK/err" |
  tee "$WORK/rgb.y4m" | ffmpeg -v error -f yuv4mpegpipe -i - -f framemd5 - >"$WORK/md5s"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "rgb24 pipe: exit ${PIPESTATUS[0]} ($(cat "$WORK/err"))"
frames=$(sed -nE 's/^wrote ([0-9]+) frames to standard output \(Y4M 4:4:4.*/\1/p' "$WORK/err")
[ -n "$frames" ] && [ "$(grep -vc '^#' "$WORK/md5s")" -eq "$frames" ] || fail "ffmpeg read $(grep -vc '^#' "$WORK/md5s") of '$frames' frames"
[ "$(probe "$WORK/rgb.y4m" pix_fmt)" = "yuv444p" ] || fail "rgb24 pipe: $(probe "$WORK/rgb.y4m" pix_fmt)"
[ "$(head -c 8 "$WORK/sheet.png" | od -An -tx1 | tr -d ' ')" = "89504e470d0a1a0a" ] || fail "--sheet wrote no PNG"
says "rgb24 pipe" "a contact sheet of"

# ---- A photograph as ffmpeg decodes it comes through unchanged ------------------------------------------
# (a portrait Debian ships; 4:2:0 in, 4:2:2 out, compared by ffmpeg's PSNR filter)
photo=/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg
[ -f "$photo" ] || fail "$photo is missing (scripts/deps.sh installs python-matplotlib-data)"
ffmpeg -v error -framerate 30 -loop 1 -i "$photo" -vf scale=640:480 -t 0.5 -pix_fmt yuv420p -f yuv4mpegpipe - >"$WORK/in.y4m"
piped "photograph" --scene - -o "$WORK/photo.y4m"
psnr=$(ffmpeg -i "$WORK/photo.y4m" -i "$WORK/in.y4m" -lavfi "[0:v]format=yuv422p[a];[1:v]format=yuv422p[b];[a][b]psnr" \
  -f null - 2>&1 | sed -nE 's/.*PSNR y:([0-9.]+) .*/\1/p')
awk -v p="${psnr:-0}" 'BEGIN { exit !(p >= 40) }' || fail "photograph: luma PSNR '$psnr' dB against ffmpeg's own decode"

# ---- Input frames in order, none twice: frame k carries luma 16 + 7k ------------------------------------------
# The camera films on its own clock, so a machine that stalls for a frame
# period (a loaded CI runner) passes over an input frame as a real camera
# would; a few such gaps are allowed, a repeat or a step back never is.
{
  printf 'YUV4MPEG2 W64 H48 F30:1 C420jpeg\n'
  for k in $(seq 0 29); do
    printf 'FRAME\n'
    head -c 3072 /dev/zero | tr '\0' "\\$(printf '%03o' $((16 + 7 * k)))"
    head -c 1536 /dev/zero | tr '\0' '\200'
  done
} >"$WORK/in.y4m"
piped "ramp" --scene - --size 160x120 -o "$WORK/ramp.y4m"
[ -e "$WORK/ramp-sheet.png" ] || fail "ramp: no contact sheet beside the file"
header=$(( $(head -n 1 "$WORK/ramp.y4m" | wc -c) ))
count=$(( ($(stat -c %s "$WORK/ramp.y4m") - header) / (6 + 160 * 120 * 2) ))
previous=-1
skipped=0
for ((i = 0; i < count; i++)); do
  y=$(byte "$WORK/ramp.y4m" $(( header + i * (6 + 160 * 120 * 2) + 6 + 60 * 160 + 80 )))
  k=$(( (y - 16 + 3) / 7 ))
  if [ "$previous" -ge 0 ]; then
    [ "$k" -gt "$previous" ] || fail "ramp: frame $i shows input frame $k after $previous"
    skipped=$(( skipped + k - previous - 1 ))
  fi
  previous=$k
done
[ "$skipped" -le 3 ] || fail "ramp: $skipped input frames passed over"
[ "$skipped" -eq 0 ] || echo "note: ramp: $skipped input frame(s) passed over by the camera's clock"
[ "$previous" -eq 29 ] || fail "ramp: the last frame shows input frame $previous"
[ "$count" -ge 24 ] || fail "ramp: only $count frames"
# A count given ends the run before the stream does.
piped "ten frames" --scene - --size 160x120 --frames 10 -o "$WORK/ten.y4m"
[ "$(probe "$WORK/ten.y4m" nb_read_frames)" = "10" ] || fail "ten frames: $(probe "$WORK/ten.y4m" nb_read_frames)"

# ---- Bad input on standard input ------------------------------------------------------------------------------------
bad() {  # bad NAME TEXT: standard input $WORK/in.y4m is refused with TEXT, no crash
  "$QK" capture --root "$R" --scene - --size 160x120 -o - <"$WORK/in.y4m" >"$WORK/video" 2>"$WORK/err"
  local rc=$?
  [ $rc -ne 0 ] && [ $rc -lt 128 ] || fail "$1: exit $rc"
  says "$1" "$2"
}
echo "not a video at all" >"$WORK/in.y4m"
bad "not Y4M" "qk0340: error: standard input: not a YUV4MPEG2 file"
printf 'YUV4MPEG2 W99999999 H99999999 F30:1\nFRAME\n' >"$WORK/in.y4m"
bad "header too large for Y4M" "picture size 99999999x99999999 not supported"
printf 'YUV4MPEG2 W16384 H16384 F30:1\nFRAME\n' >"$WORK/in.y4m"
bad "header too large for the camera" "pictures of 16384x16384 are larger than the camera films from a stream"
printf 'YUV4MPEG2 W64 H48 F30:1\n' >"$WORK/in.y4m"
bad "no frames" "the stream has no frames"
testsrc 64x48 1 yuv444p >"$WORK/in.y4m"
bad "4:4:4" "colour space '444' is not 4:2:0 (a YUV4MPEG2 stream of 4:2:0 pictures is wanted, such as ffmpeg writes with -f yuv4mpegpipe -pix_fmt yuv420p)"
testsrc 160x120 1 2>/dev/null | head -c 600000 >"$WORK/in.y4m"
bad "truncated" "qk0340: error: standard input: truncated frame after"
# What was filmed before the stream broke is a whole Y4M file.
frames=$(sed -nE 's/^wrote ([0-9]+) frames to standard output.*/\1/p' "$WORK/err")
[ -n "$frames" ] && [ "$frames" -gt 0 ] && [ "$(probe "$WORK/video" nb_read_frames)" = "$frames" ] ||
  fail "truncated: wrote '$frames', ffprobe reads $(probe "$WORK/video" nb_read_frames)"

# ---- A reader that goes away early ----------------------------------------------------------------------------
testsrc 160x120 2 >"$WORK/in.y4m"
"$QK" capture --root "$R" --scene - --size 160x120 -o - <"$WORK/in.y4m" 2>"$WORK/err" | head -c 1000 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -ne 0 ] && [ "$rc" -lt 128 ] || fail "closed reader: exit $rc"
says "closed reader" "qk0340: error: standard output was closed by its reader after"

finish
