#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Live: videos fetched over loopback get their details in the headless output.

An MP4 with its index in front, one with its index at the end (both larger than the 4 MiB that Tarnwick
fetches), a WebM, an HLS and a DASH stream are served on 127.0.0.5 and fetched with curl while `tarnwick --headless
--json --details --details-dir` captures on lo. Each entry's last line must give the duration that ffprobe
reads from the served file (within 0.1 s), the same size in pixels, and a picture of that size.

Usage: details_live_test.py TARNWICK VIDEO_SERVER. Exits 77 (skipped) where capture on lo is not permitted
or ffmpeg, ffprobe or curl is missing."""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
ADDRESS = "127.0.0.5"


def run(*arguments):
    return subprocess.run(arguments, check=True, capture_output=True, text=True).stdout


def probe(path, entries):
    return run("ffprobe", "-v", "error", "-show_entries", entries, "-of", "json", path)


def duration_of(path):
    return float(json.loads(probe(path, "format=duration"))["format"]["duration"])


def size_of(path):
    streams = json.loads(probe(path, "stream=codec_type,width,height"))["streams"]
    video = next(s for s in streams if s.get("codec_type") == "video")
    return video["width"], video["height"]


def make_media(folder):
    noisy = "testsrc2=size=480x270:rate=25,noise=alls=30:allf=t+u"
    tone = "sine=frequency=440:sample_rate=44100"
    common = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", noisy, "-f", "lavfi", "-i", tone,
              "-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", "-g", "25", "-c:a", "aac", "-shortest"]
    # Of different lengths: the list takes a second video of the same size for the first one again.
    run(*common, "-t", "5", "-movflags", "+faststart", os.path.join(folder, "front.mp4"))
    run(*common, "-t", "6", os.path.join(folder, "end.mp4"))
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone,
        "-t", "4", "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "600k", "-c:a", "libvorbis",
        "-shortest", os.path.join(folder, "clip.webm"))
    hls = os.path.join(folder, "hls")
    os.mkdir(hls)
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=400x224:rate=25,noise=alls=20:allf=t+u",
        "-t", "6", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-f", "hls", "-hls_time", "2",
        "-hls_playlist_type", "vod", "-hls_segment_filename", os.path.join(hls, "part%d.ts"),
        os.path.join(hls, "index.m3u8"))
    dash = os.path.join(folder, "dash")
    os.mkdir(dash)
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25,noise=alls=20:allf=t+u",
        "-t", "6", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-f", "dash", "-seg_duration", "2",
        os.path.join(dash, "manifest.mpd"))
    for name in ("front.mp4", "end.mp4"):
        assert os.path.getsize(os.path.join(folder, name)) > 4 << 20, name + " is not larger than the fetch bound"


def start_server(server_script, media):
    for _ in range(10):
        port = random.randint(20000, 60000)
        server = subprocess.Popen([sys.executable, server_script, ADDRESS, str(port), "--media", media],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(100):
            if server.poll() is not None:
                break
            if subprocess.run(["curl", "-s", "-o", "/dev/null", "http://%s:%d/none" % (ADDRESS, port)]).returncode == 0:
                return server, port
            time.sleep(0.05)
        if server.poll() is None:
            server.kill()
        server.wait()
    raise RuntimeError("the test server did not start")


def read_lines(path):
    lines = []
    with open(path) as output:
        for line in output:
            try:
                lines.append(json.loads(line))
            except ValueError:
                pass
    return lines


def main():
    tarnwick, server_script = sys.argv[1], sys.argv[2]
    for tool in ("ffmpeg", "ffprobe", "curl"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return SKIP
    work = tempfile.mkdtemp(prefix="tarnwick-details-live-")
    server = tarnwick_process = None
    try:
        media = os.path.join(work, "media")
        pictures = os.path.join(work, "pictures")
        home = os.path.join(work, "home")
        for folder in (media, pictures, home):
            os.mkdir(folder)
        make_media(media)
        server, port = start_server(server_script, media)

        environment = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        out_path, err_path = os.path.join(work, "out.jsonl"), os.path.join(work, "err.txt")
        with open(out_path, "w") as out, open(err_path, "w") as err:
            tarnwick_process = subprocess.Popen([tarnwick, "--headless", "--json", "--details", "--details-dir",
                                                 pictures, "--interface", "lo"], stdout=out, stderr=err,
                                                env=environment)
        deadline = time.time() + 10
        while time.time() < deadline and "capturing on lo" not in open(err_path).read():
            if tarnwick_process.poll() is not None:
                print("SKIP: capture on lo is not permitted here: " + open(err_path).read().strip())
                return SKIP
            time.sleep(0.05)
        if "capturing on lo" not in open(err_path).read():
            print("SKIP: capture on lo did not start: " + open(err_path).read().strip())
            return SKIP

        run_id = "%d%d" % (os.getpid(), random.randint(0, 1 << 30))
        base = "http://%s:%d/media/" % (ADDRESS, port)
        wanted = {}
        for name in ("front.mp4", "end.mp4", "clip.webm"):
            url = base + name + "?run=" + run_id
            run("curl", "-s", "-f", "-o", "/dev/null", url)
            wanted[url] = os.path.join(media, name)
        # A player: the playlist, then its segments in order.
        playlist = base + "hls/index.m3u8?run=" + run_id
        listed = run("curl", "-s", "-f", playlist)
        for line in listed.splitlines():
            if line and not line.startswith("#"):
                run("curl", "-s", "-f", "-o", "/dev/null", base + "hls/" + line)
        wanted[playlist] = os.path.join(media, "hls", "index.m3u8")
        manifest = base + "dash/manifest.mpd?run=" + run_id
        run("curl", "-s", "-f", "-o", "/dev/null", manifest)
        for name in sorted(os.listdir(os.path.join(media, "dash"))):
            if name.endswith(".m4s"):
                run("curl", "-s", "-f", "-o", "/dev/null", base + "dash/" + name)
        wanted[manifest] = os.path.join(media, "dash", "manifest.mpd")

        # Every entry's details, within a bounded wait.
        last = {}
        deadline = time.time() + 90
        while time.time() < deadline:
            last = {}
            for line in read_lines(out_path):
                if line.get("url") in wanted:
                    last[line["url"]] = line
            if len(last) == len(wanted) and all("width" in line or "details_error" in line for line in last.values()):
                break
            time.sleep(0.5)

        failures = []
        for url, served in wanted.items():
            line = last.get(url)
            if line is None:
                failures.append("%s was not listed" % url)
                continue
            if "width" not in line:
                failures.append("%s got no details: %s" % (url, line))
                continue
            expected = duration_of(served)
            if abs(line.get("duration", -1) - expected) > 0.1:
                failures.append("%s: duration %s, ffprobe says %.3f" % (url, line.get("duration"), expected))
            width, height = size_of(served)
            if (line["width"], line["height"]) != (width, height):
                failures.append("%s: %dx%d, ffprobe says %dx%d" % (url, line["width"], line["height"], width, height))
            picture = os.path.join(pictures, "%d.jpg" % line["serial"])
            if not os.path.exists(picture):
                failures.append("%s: no picture %s" % (url, picture))
            elif size_of(picture) != (width, height):
                failures.append("%s: the picture is %dx%d" % ((url,) + size_of(picture)))
            print("%s: %s" % (url, {k: line.get(k) for k in ("duration", "width", "height", "video_codec",
                                                                "audio_codec", "details_error")}))
        # Tarnwick's own fetches of the playlist and its first segment count into no entry.
        stream = last.get(playlist)
        segments = [name for name in os.listdir(os.path.join(media, "hls")) if name.endswith(".ts")]
        if stream and stream.get("segments") != len(segments):
            failures.append("the stream counts %s segments, the player fetched %d" % (stream.get("segments"),
                                                                                     len(segments)))
        serials = {line["serial"] for line in read_lines(out_path) if run_id in line.get("url", "")}
        if len(serials) != len(wanted):
            failures.append("%d entries for %d videos" % (len(serials), len(wanted)))
        if failures:
            print("FAILED:\n  " + "\n  ".join(failures))
            print("stderr of tarnwick:\n" + open(err_path).read())
            return 1
        print("every entry has its duration, size and picture")
        return 0
    finally:
        if tarnwick_process and tarnwick_process.poll() is None:
            tarnwick_process.send_signal(signal.SIGINT)
            try:
                tarnwick_process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                tarnwick_process.kill()
                tarnwick_process.wait()
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
