#!/usr/bin/env python3
"""The measurements of scripts/bench: size, extraction speed, memory and time to agent of the
launcher, side by side with an NSIS installer carrying the same stored payload and with a
plain copy; time to agent and memory also for both widths side by side (the release launcher,
32-bit under WOW64, and the x86_64 build). scripts/bench builds the programs and prepares the Wine prefix, then runs this.

Everything it makes lies under BENCH_DIR and is removed at the end; the table goes to
standard output and, with the machine and the method, to docs/PERFORMANCE.md.
"""
import datetime
import os
import pwd
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

REPO = os.environ["BENCH_REPO"]
OUT = os.environ["LUMO_OUT"]
WORK = os.environ["BENCH_DIR"]
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
BIG_MIB = int(os.environ.get("BENCH_PAYLOAD_MIB", "256"))
BIG_FILES = 4
WINE = os.environ["BENCH_WINE"]
DOC = os.environ.get("BENCH_DOC", os.path.join(REPO, "docs", "PERFORMANCE.md"))
# Why the release launcher cannot run here (scripts/wine --probe-i686); empty when it can.
NO_I686 = os.environ.get("BENCH_NO_I686", "")
# Where the machine's wine32 came from (scripts/wine --probe-i686), when 32-bit programs run.
I686_ORIGIN = os.environ.get("BENCH_I686_ORIGIN", "")

LAUNCHER64 = os.path.join(OUT, "win64", "OXUnPackLUMO.exe")
LAUNCHER64_64K = os.environ["BENCH_LAUNCHER_64K"]
RELEASE32 = os.path.join(OUT, "win32", "OXUnPackLUMO.exe")
PACK = os.path.join(OUT, "native", "lumo-pack")
TIMED_START = os.path.join(OUT, "win64", "timed_start.exe")
CABINET = os.path.join(OUT, "win64", "agent", "lumo-agent.cab")
TRIVIAL_EXE = os.path.join(OUT, "win64", "agent", "OXFeatureLUMONOUIA.exe")
KIB, MIB = 1024, 1024 * 1024


def say(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def win_path(path):
    # Wine's drive Z: is the Linux root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(debug="-all"):
    env = dict(os.environ)
    env["WINEDEBUG"] = debug
    return env


def median(values):
    return statistics.median(values) if values else float("nan")


# ---------------------------------------------------------------------------------------
# Payloads and packages

def make_payload(folder, total_bytes, files):
    os.makedirs(folder, exist_ok=True)
    paths = []
    each = total_bytes // files
    for index in range(files):
        path = os.path.join(folder, "payload%02d.bin" % index)
        size = each if index < files - 1 else total_bytes - each * (files - 1)
        with open("/dev/urandom", "rb") as source, open(path, "wb") as target:
            left = size
            while left > 0:
                chunk = source.read(min(left, 4 * MIB))
                target.write(chunk)
                left -= len(chunk)
        paths.append(path)
    return paths


def pack(stub, output, files):
    subprocess.run([PACK, "pack", "--stub", stub, "--out", output] + files, check=True,
                   stdout=subprocess.DEVNULL)
    return output


def nsis_installer(output, files, target="amd64-unicode"):
    # amd64 runs under 64-bit Wine; x86 is the size peer of the PE32 release launcher.
    script = output + ".nsi"
    lines = [
        "Target %s" % target,
        'Name "LUMO benchmark peer"',
        'OutFile "%s"' % output,
        "SetCompress off",             # the payload is stored, as the launcher stores it
        "CRCCheck off",                # the launcher checks no sum either
        "RequestExecutionLevel user",
        "SilentInstall silent",
        'InstallDir "$TEMP\\nsis-bench"',
        "Section",
        'SetOutPath "$INSTDIR"',
    ] + ['File "%s"' % path for path in files] + ["SectionEnd"]
    with open(script, "w") as handle:
        handle.write("\n".join(lines) + "\n")
    subprocess.run(["makensis", "-V1", script], check=True, stdout=subprocess.DEVNULL)
    return output


# ---------------------------------------------------------------------------------------
# Running under Wine

def descendants(pid):
    """The pid and the pids of its descendants, as far as /proc lists them now."""
    found, queue = [], [pid]
    while queue:
        current = queue.pop()
        found.append(current)
        try:
            with open("/proc/%d/task/%d/children" % (current, current)) as handle:
                queue.extend(int(child) for child in handle.read().split())
        except OSError:
            pass
    return found


def is_pe32(path):
    """Whether a Windows program is a 32-bit one (its PE header names the i386 machine)."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(4096)
        at = int.from_bytes(head[0x3C:0x40], "little")
        return head[at:at + 4] == b"PE\0\0" and int.from_bytes(head[at + 4:at + 6], "little") == 0x14C
    except (OSError, ValueError):
        return False


class PeakMemory:
    """Samples VmHWM (peak resident set) of the Linux process that is the measured program
    until the one started ends: that process itself for a 64-bit program; for a 32-bit one,
    the process of Wine's 32-bit loader that the 64-bit loader has Wine's server start for it.
    That one is no descendant (it is handed to init), so it is found once among all processes
    of this prefix by the program's name in its command line, and then followed alone."""

    def __init__(self, pid, program):
        self.pid = pid
        self.name = os.path.basename(program).encode()
        self.wide = is_pe32(program)
        self.prefix = ("WINEPREFIX=" + os.environ.get("WINEPREFIX", "")).encode() + b"\0"
        self.peak_kib = 0
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _sample(self, pid):
        try:
            with open("/proc/%d/status" % pid) as handle:
                match = re.search(r"^VmHWM:\s+(\d+) kB", handle.read(), re.M)
        except OSError:
            return 0
        return int(match.group(1)) if match else 0

    def _named(self, pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as handle:
                if self.name not in handle.read():
                    return False
            with open("/proc/%d/environ" % pid, "rb") as handle:
                return self.prefix in handle.read()
        except OSError:
            return False

    def _find(self):
        if not self.wide:
            return self.pid
        for entry in os.listdir("/proc"):
            if entry.isdigit() and int(entry) != self.pid and self._named(int(entry)):
                return int(entry)
        return None

    def _run(self):
        target = None
        while True:
            try:
                with open("/proc/%d/status" % self.pid) as handle:
                    if re.search(r"^State:\s+Z", handle.read(), re.M):
                        return
            except OSError:
                return
            # The 64-bit loader runs start.exe in this process for a 32-bit program, and the
            # program in a process of its own; a 64-bit program replaces the loader here.
            if target is None:
                target = self._find()
            if target is not None:
                self.peak_kib = max(self.peak_kib, self._sample(target))
            time.sleep(0.005)

    def join(self):
        self._thread.join()
        return self.peak_kib


def run_direct(program, arguments=(), debug="-all", timeout=300):
    """Runs a Windows program with Wine's loader in this process's place (so the Linux
    process is the Windows process) and returns (seconds, peak KiB, stderr text)."""
    started = time.monotonic()
    process = subprocess.Popen([WINE, program] + list(arguments), env=wine_env(debug),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    sampler = PeakMemory(process.pid, program)
    _, err = process.communicate(timeout=timeout)
    seconds = time.monotonic() - started
    return seconds, sampler.join(), err.decode("utf-8", "replace")


def run_timed(command, debug="-all", timeout=300):
    """Runs a Windows command line through timed_start.exe; returns its key=value report and
    the debug output (Wine stamps each line with the same clock as the report)."""
    process = subprocess.run([WINE, TIMED_START] + command, env=wine_env(debug), capture_output=True,
                             timeout=timeout)
    report = {}
    for line in process.stdout.decode("utf-8", "replace").splitlines():
        if "=" in line:
            key, value = line.strip().split("=", 1)
            report[key] = int(value)
    if "start_qpc" not in report:
        raise RuntimeError("timed_start reported nothing: " + process.stderr.decode("utf-8", "replace")[-2000:])
    frequency = float(report["qpc_frequency"])
    report["start_s"] = report["start_qpc"] / frequency
    report["end_s"] = report["end_qpc"] / frequency
    report["seconds"] = report["end_s"] - report["start_s"]
    return report, process.stderr.decode("utf-8", "replace")


def wine_notes(debug_text, part):
    """Stamps of Wine's own notes (fixme lines) that contain `part`."""
    stamps = []
    for line in debug_text.splitlines():
        match = re.match(r"^(\d+\.\d+):[0-9a-f]+:fixme:", line)
        if match and part in line:
            stamps.append(float(match.group(1)))
    return stamps


def log_lines(debug_text):
    """The launcher's log lines as Wine's debug channel saw them: (stamp seconds, text)."""
    lines = []
    for line in debug_text.splitlines():
        match = re.match(r"^(\d+\.\d+):[0-9a-f]+:warn:seh:OutputDebugStringA \"(.*)\"$", line)
        if match:
            lines.append((float(match.group(1)), match.group(2)))
    return lines


def first(lines, part, after=-1.0):
    for stamp, text in lines:
        if stamp >= after and part in text:
            return stamp
    return None


def check_standard_route(lines):
    if any("RunAsService" in text for _, text in lines):
        raise RuntimeError("the launcher took the SYSTEM route: the code-sign values are missing from the prefix")


def extraction_seconds(lines):
    begin = first(lines, "UnPack file name:")
    end = first(lines, "UnPack total")
    if begin is None or end is None:
        raise RuntimeError("no extraction in the launcher's log:\n" + "\n".join(t for _, t in lines[-20:]))
    return end - begin


def remove_work_folder():
    # The launcher removes its own; a killed run could leave one behind.
    temp = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name, "Temp", "unpacklumo")
    shutil.rmtree(temp, ignore_errors=True)


# ---------------------------------------------------------------------------------------
# 1. Size

def pe_sections(path):
    text = subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, text=True,
                          check=True).stdout
    sections = []
    for line in text.splitlines():
        match = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-f]{8})\s", line)
        if match:
            sections.append((match.group(1), int(match.group(2), 16)))
    return sections


TRIVIAL_C = r"""
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
"""

TRIVIAL_CXX = r"""
#include <windows.h>
#include <cwchar>
#include <string>
#include <vector>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR line, int) {
  std::wstring wide(line);
  wide += L" x";
  std::string narrow(wide.begin(), wide.end());
  narrow += "y";
  std::vector<std::wstring> words;
  words.push_back(wide.substr(1));
  wchar_t text[64];
  std::swprintf(text, 64, L"[%ls] %lld", wide.c_str(), static_cast<long long>(narrow.size()));
  return static_cast<int>(words.size() + narrow.size() + wide.find(L'q') + text[1]);
}
"""


def trivial_size(folder, name, source, extra_sources=(), extra_flags=()):
    path = os.path.join(folder, name + ".cpp")
    with open(path, "w") as handle:
        handle.write(source)
    exe = os.path.join(folder, name + ".exe")
    flags = ["-std=c++17", "-Os", "-DUNICODE", "-D_UNICODE", "-ffunction-sections", "-fdata-sections",
             "-mwindows", "-municode", "-static", "-static-libgcc", "-static-libstdc++", "-s",
             "-Wl,--gc-sections"] + list(extra_flags)
    subprocess.run(["i686-w64-mingw32-g++-posix"] + flags + [path] + list(extra_sources) + ["-o", exe],
                   check=True)
    return os.path.getsize(exe)


def measure_size(nsis_small, small_payload_bytes):
    size = os.path.getsize(RELEASE32)
    sections = pe_sections(RELEASE32)
    folder = os.path.join(WORK, "size")
    os.makedirs(folder, exist_ok=True)
    # The launcher's runtime pieces and its flags (CMakeLists.txt): its own failure hooks,
    # operator new and printf core, the string members compiled with the program, no
    # exceptions, no unwind tables, link-time optimisation in one partition.
    src = os.path.join(REPO, "src")
    lean = [os.path.join(src, "app", "lean_runtime.cpp"), os.path.join(src, "util", "core", "wide_format.cpp")]
    launcher_flags = ["-I", src, "-include", os.path.join(src, "app", "lean_string_instances.h"),
                      "-fno-exceptions", "-fno-asynchronous-unwind-tables", "-fno-unwind-tables",
                      "-flto", "-flto-partition=one"]
    c_floor = trivial_size(folder, "trivial_c", TRIVIAL_C)
    cxx_stock = trivial_size(folder, "trivial_cxx", TRIVIAL_CXX)
    # The failure hooks log through the launcher's log, which is the launcher's size, not the
    # runtime's: the trivial program brings an empty one.
    quiet_log = '\n#include "util/utility.h"\nvoid CUtility::Log(const char*, ...) {}\n'
    cxx_trimmed = trivial_size(folder, "trivial_cxx_trimmed", TRIVIAL_CXX + quiet_log, lean, launcher_flags)
    nsis_stub = os.path.getsize(nsis_small) - small_payload_bytes
    return {
        "size": size,
        "sections": sections,
        "c_floor": c_floor,
        "cxx_stock": cxx_stock,
        "cxx_trimmed": cxx_trimmed,
        "nsis_stub": nsis_stub,
    }


# ---------------------------------------------------------------------------------------
# 2., 3. and 5. Extraction speed, memory, copy buffer

def measure_extraction(big_files, big_bytes, launchers, nsis_big, nsis_tiny, launcher_tiny, launcher_1m):
    results = {}
    nsis_target = os.path.join(WORK, "nsis-out")

    def launcher_runs(name, exe):
        logs, walls = [], []
        for _ in range(RUNS):
            remove_work_folder()
            report, debug = run_timed([win_path(exe)], debug="+timestamp,warn+seh")
            lines = log_lines(debug)
            check_standard_route(lines)
            logs.append(extraction_seconds(lines))
            walls.append(report["seconds"])
        results[name] = {"log": median(logs), "wall": median(walls), "logs": logs, "walls": walls}

    def nsis_runs(name, exe):
        walls = []
        for _ in range(RUNS):
            shutil.rmtree(nsis_target, ignore_errors=True)
            report, _ = run_timed([win_path(exe), "/S", "/D=" + win_path(nsis_target)])
            if report["exit_code"] != 0:
                raise RuntimeError("the NSIS installer failed (exit %d)" % report["exit_code"])
            walls.append(report["seconds"])
        installed = sum(os.path.getsize(os.path.join(nsis_target, f)) for f in os.listdir(nsis_target))
        shutil.rmtree(nsis_target, ignore_errors=True)
        results[name] = {"wall": median(walls), "walls": walls, "installed": installed}

    say("extraction: baselines (tiny payloads)")
    launcher_runs("launcher_tiny", launcher_tiny)
    nsis_runs("nsis_tiny", nsis_tiny)
    for name, exe in launchers:
        say("extraction: %s, %d runs" % (name, RUNS))
        launcher_runs(name, exe)
    say("extraction: NSIS, %d runs" % RUNS)
    nsis_runs("nsis", nsis_big)

    say("extraction: cp, %d runs" % RUNS)
    walls = []
    copy_target = os.path.join(WORK, "cp-out")
    for _ in range(RUNS):
        shutil.rmtree(copy_target, ignore_errors=True)
        os.makedirs(copy_target)
        started = time.monotonic()
        subprocess.run(["cp"] + big_files + [copy_target + "/"], check=True)
        walls.append(time.monotonic() - started)
    shutil.rmtree(copy_target, ignore_errors=True)
    results["cp"] = {"wall": median(walls), "walls": walls}

    say("memory: peak resident set, %d runs each" % RUNS)
    for name, exe in (("launcher_1m", launcher_1m), ("launcher_big", launchers[0][1])):
        peaks = []
        for _ in range(RUNS):
            remove_work_folder()
            _, peak, _ = run_direct(exe)
            peaks.append(peak)
        results["mem_" + name] = median(peaks)
    peaks = []
    for _ in range(RUNS):
        shutil.rmtree(nsis_target, ignore_errors=True)
        _, peak, _ = run_direct(nsis_big, ["/S", "/D=" + win_path(nsis_target)])
        peaks.append(peak)
    shutil.rmtree(nsis_target, ignore_errors=True)
    results["mem_nsis_big"] = median(peaks)
    results["bytes"] = big_bytes
    return results


# ---------------------------------------------------------------------------------------
# 4. Time to agent

def read_record(folder):
    for name in sorted(os.listdir(folder)):
        if name.startswith("OXManagerLUMO-") and name.endswith(".record"):
            record = {}
            with open(os.path.join(folder, name), encoding="utf-8") as handle:
                for line in handle:
                    if "=" in line:
                        key, value = line.rstrip("\n").split("=", 1)
                        record[key] = value
            return record
    return None


def measure_time_to_agent(demo_launcher, records):
    runs = []
    for index in range(RUNS + 1):
        shutil.rmtree(records, ignore_errors=True)
        os.makedirs(records)
        remove_work_folder()
        report, debug = run_timed([win_path(demo_launcher)], debug="+timestamp,warn+seh")
        lines = log_lines(debug)
        check_standard_route(lines)
        record = read_record(records)
        if record is None:
            raise RuntimeError("the agent's manager left no record:\n" + "\n".join(t for _, t in lines[-20:]))
        agent_s = int(record["qpc"]) / float(record["qpc_frequency"])
        first_line = lines[0][0]
        unpacked = first(lines, "UnPack total")
        expanded = first(lines, "finish ecode", after=unpacked)
        if unpacked is None or expanded is None:
            raise RuntimeError("the launcher's log lacks the extraction or the expansion")
        # Within the start-up, Wine's own notes mark two moments: the first use of the
        # session user's token (the elevation decision reads the product key) and the
        # loading window's creation. Without them the start-up stays one share.
        token = wine_notes(debug, "WTSQueryUserToken")
        window = wine_notes(debug, "DisableProcessWindowsGhosting")
        marks = None
        if token and window and report["start_s"] < token[0] <= window[0] <= first_line:
            marks = (token[0] - report["start_s"], window[0] - token[0], first_line - window[0])
        run = {
            "total": agent_s - report["start_s"],
            "total_filetime": (int(record["filetime"]) - report["start_filetime"]) / 1e7,
            "marks": marks,
            "startup": first_line - report["start_s"],
            "extraction": unpacked - first_line,
            "expansion": expanded - unpacked,
            "launch": agent_s - expanded,
            "first_line": lines[0][1],
        }
        if index > 0:  # the first run warms Wine's caches of the agent's programs
            runs.append(run)
    floor = [run_timed([win_path(TRIVIAL_EXE)])[0]["seconds"] for _ in range(RUNS)]
    summary = {key: median([run[key] for run in runs])
               for key in ("total", "total_filetime", "startup", "extraction", "expansion", "launch")}
    summary["totals"] = [run["total"] for run in runs]
    summary["floor"] = median(floor)
    summary["first_line"] = runs[0]["first_line"]
    marked = [run["marks"] for run in runs if run["marks"] is not None]
    summary["marks"] = [median([m[i] for m in marked]) for i in range(3)] if len(marked) == len(runs) else None
    return summary


# ---------------------------------------------------------------------------------------
# 6. Both widths: the release launcher (i686, under WOW64) beside the x86_64 build

def measure_widths(demo, records, one_mib, mem_x64, agent_x64):
    """Time to agent and peak memory (1 MiB payload) of the release launcher, measured as the
    x86_64 figures were; None in their place, with the reason, where 32-bit programs do not run."""
    x64 = {"total": agent_x64["total"], "mem": mem_x64}
    if NO_I686:
        return {"x64": x64, "release": None}
    folder = os.path.join(WORK, "i686")
    os.makedirs(folder, exist_ok=True)
    demo32 = pack(RELEASE32, os.path.join(folder, "OndrixLUMO-BENCH7.exe"),
                  [os.path.join(demo, n) for n in ("lumo-agent.cab", ".init_setting.ini", "agent.ini")])
    launcher_1m = pack(RELEASE32, os.path.join(folder, "lumo-1m.exe"), one_mib)
    say("both widths: release launcher, time to agent (%d runs) and memory (%d runs)" % (RUNS + 1, RUNS))
    agent = measure_time_to_agent(demo32, records)
    peaks = []
    for _ in range(RUNS):
        remove_work_folder()
        peaks.append(run_direct(launcher_1m)[1])
    return {"x64": x64, "release": {"total": agent["total"], "mem": median(peaks)}}


# ---------------------------------------------------------------------------------------
# The report

def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as handle:
        for line in handle:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as handle:
        total_kib = int(re.search(r"MemTotal:\s+(\d+)", handle.read()).group(1))
    wine_version = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    nsis_version = subprocess.run(["makensis", "-VERSION"], capture_output=True, text=True).stdout.strip()
    gcc = subprocess.run(["i686-w64-mingw32-g++-posix", "-dumpversion"], capture_output=True, text=True).stdout.strip()
    with open("/proc/loadavg") as handle:
        load = " ".join(handle.read().split()[:3])
    return {
        "nproc": os.cpu_count(),
        "memory": "%.1f GiB" % (total_kib / 1024.0 / 1024.0),
        "cpu": cpu,
        "wine": wine_version,
        "nsis": nsis_version,
        "gcc": gcc,
        "load": load,
        "kernel": os.uname().release,
    }


def mb_s(byte_count, seconds):
    return byte_count / 1e6 / seconds if seconds > 0 else float("inf")


def fmt_s(seconds):
    return "%.3f s" % seconds


def fmt_kib(n):
    return "%d B (%.1f KiB)" % (n, n / 1024.0)


def report(size, extraction, agent, widths, info, load_before, started, payload_files):
    big = extraction["bytes"]
    launch_net = extraction["launcher_big"]["wall"] - extraction["launcher_tiny"]["wall"]
    launch64k_net = extraction["launcher_big_64k"]["wall"] - extraction["launcher_tiny"]["wall"]
    nsis_net = extraction["nsis"]["wall"] - extraction["nsis_tiny"]["wall"]
    cp_s = extraction["cp"]["wall"]
    ours_log = extraction["launcher_big"]["log"]
    ours64k_log = extraction["launcher_big_64k"]["log"]
    mem_small = extraction["mem_launcher_1m"]
    mem_big = extraction["mem_launcher_big"]
    mem_delta = mem_big - mem_small

    sections = size["sections"]
    by_name = dict(sections)
    rsrc = by_name.get(".rsrc", 0)
    code = by_name.get(".text", 0)
    unwind = by_name.get(".eh_fram", 0) + by_name.get(".eh_frame", 0)
    runtime = size["cxx_trimmed"] - size["c_floor"]

    rows = []
    rows.append(("Size", "release launcher (PE32, stripped, with resources)", fmt_kib(size["size"]),
                 "NSIS 3 x86-unicode stub + header (installer − stored payload)", fmt_kib(size["nsis_stub"]),
                 "target ≤ 128 KiB: %s" % ("met" if size["size"] <= 128 * KIB else "MISSED")))
    rows.append(("Extraction, %d MiB in %d files" % (big // MIB, payload_files),
                 "launcher, its log (first file to total), 1 KiB buffer",
                 "%s = %.0f MB/s" % (fmt_s(ours_log), mb_s(big, ours_log)),
                 "NSIS /S, whole run − tiny-payload run", "%s = %.0f MB/s" % (fmt_s(nsis_net), mb_s(big, nsis_net)),
                 "launcher ÷ NSIS time: %.2f" % (ours_log / nsis_net if nsis_net > 0 else float("nan"))))
    rows.append(("", "launcher, whole run − tiny-payload run", "%s = %.0f MB/s" % (fmt_s(launch_net), mb_s(big, launch_net)),
                 "cp of the same files, same disk", "%s = %.0f MB/s" % (fmt_s(cp_s), mb_s(big, cp_s)),
                 "launcher ÷ cp time: %.2f (log) / %.2f (whole run)" % (ours_log / cp_s, launch_net / cp_s)))
    rows.append(("Copy buffer", "launcher, log, 64 KiB buffer (comparison build)",
                 "%s = %.0f MB/s" % (fmt_s(ours64k_log), mb_s(big, ours64k_log)),
                 "launcher, whole run − tiny, 64 KiB", "%s = %.0f MB/s" % (fmt_s(launch64k_net), mb_s(big, launch64k_net)),
                 "1 KiB ÷ 64 KiB time: %.2f (log)" % (ours_log / ours64k_log if ours64k_log > 0 else float("nan"))))
    rows.append(("Peak memory (VmHWM)", "launcher, 1 MiB payload", "%.1f MiB" % (mem_small / 1024.0),
                 "launcher, %d MiB payload" % (big // MIB), "%.1f MiB" % (mem_big / 1024.0),
                 "difference %.2f MiB: target < 4 MiB %s; NSIS, %d MiB: %.1f MiB" % (
                     mem_delta / 1024.0, "met" if abs(mem_delta) < 4 * 1024 else "MISSED", big // MIB,
                     extraction["mem_nsis_big"] / 1024.0)))
    rows.append(("Time to agent", "start of the launcher → manager's start (QPC)", fmt_s(agent["total"]),
                 "→ manager's record, written once its window exists (FILETIME)", fmt_s(agent["total_filetime"]),
                 "runs: " + ", ".join("%.3f" % t for t in agent["totals"])))

    table = ["| Measure | Ours | Figure | Peer / reference | Figure | Result |",
             "|---|---|---|---|---|---|"]
    for row in rows:
        table.append("| " + " | ".join(row) + " |")

    release = widths["release"]
    width_rows = ["| Measure | Release launcher (i686, under WOW64) | x86_64 build |", "|---|---|---|"]
    for key, label, fmt in (("total", "Time to agent (start → manager's start, QPC)", fmt_s),
                            ("mem", "Peak memory (VmHWM), 1 MiB payload", lambda kib: "%.1f MiB" % (kib / 1024.0))):
        ours = fmt(release[key]) if release else "not measured: " + NO_I686
        width_rows.append("| %s | %s | %s |" % (label, ours, fmt(widths["x64"][key])))

    shares = ["| Step | Median | Share |", "|---|---|---|"]
    total = agent["total"]
    for key, label in (("startup", "start-up: process start, hardening, elevation decision, registry hand-off, "
                                   "loading window, instance arbitration (start → first log line)"),
                       ("extraction", "extraction (first log line → \"UnPack total\")"),
                       ("expansion", "expansion of the cabinet, settings, switches (→ end of expand.exe)"),
                       ("launch", "launch: start of the agent's manager (→ its recorded start)")):
        shares.append("| %s | %s | %.0f %% |" % (label, fmt_s(agent[key]), 100.0 * agent[key] / total))
        if key == "startup" and agent["marks"] is not None:
            for value, part in zip(agent["marks"], (
                    "of which process start, DLL loading and hardening (static construction) → first use of "
                    "the user's token (elevation decision)",
                    "of which elevation decision, registry hand-off, token switch, GDI+ start-up → loading "
                    "window created",
                    "of which loading window and instance arbitration → first log line")):
                shares.append("| &nbsp;&nbsp;%s | %s | %.0f %% |" % (part, fmt_s(value), 100.0 * value / total))
    shares.append("| of the start-up: a trivial program's whole run under Wine (process start and end) | %s | %.0f %% |"
                  % (fmt_s(agent["floor"]), 100.0 * agent["floor"] / total))

    section_rows = ["| Section | Bytes | What it holds |", "|---|---|---|"]
    meaning = {".text": "machine code (ours and the linked runtime)",
               ".data": "the thread-local template, then initialised data",
               ".rdata": "constants, strings, vtables; the C runtime's initialiser tables",
               ".bss": "zeroed data (no file bytes)", ".idata": "import tables",
               ".rsrc": "resources: icon, pictures, strings, version, manifest",
               ".reloc": "relocations (address-space randomisation)"}
    for name, bytes_ in sections:
        section_rows.append("| %s | %d | %s |" % (name, bytes_, meaning.get(name, "")))

    ended = datetime.datetime.now(datetime.timezone.utc)
    text = []
    text.append("# Performance\n")
    whole = time.time() - float(os.environ.get("BENCH_STARTED", time.time()))
    text.append("Measured by `scripts/bench` on %s UTC: %.0f s of measuring, %.0f s for the whole command with "
                "its builds. The launcher runs under Wine on this Linux machine, so every figure is a Wine "
                "figure; the ratios against the peer, measured in the same run the same way, are what carries "
                "over.\n" % (ended.strftime("%Y-%m-%d %H:%M"), (ended - started).total_seconds(), whole))
    text.append("## Machine\n")
    text.append("- %d processors (`nproc`), %s memory, %s\n- %s; kernel %s; MinGW-w64 GCC %s; NSIS %s\n"
                "- load average before / after the run: %s / %s (the machine was shared with other builds "
                "and tests; figures under load vary by tens of percent)\n"
                % (info["nproc"], info["memory"], info["cpu"], info["wine"], info["kernel"], info["gcc"],
                   info["nsis"], load_before, info["load"]))
    if I686_ORIGIN:
        text.append("- %s\n" % I686_ORIGIN)
    text.append("## Results (medians of %d runs)\n" % RUNS)
    text.extend(table)
    text.append("")
    text.append("### Both widths\n")
    text.append("The release launcher is what users download; the x86_64 build of the same sources is "
                "what the other figures measure. Both measured the same way, in the same run:\n")
    text.extend(width_rows)
    text.append("")
    text.append("### Where the release launcher's bytes go\n")
    text.extend(section_rows)
    text.append("")
    text.append("Runtime estimate, from trivial programs linked with the launcher's flags (i686, `-Os`, static, "
                "stripped, `--gc-sections`):\n")
    text.append("- C runtime alone (an empty `wWinMain`): %s" % fmt_kib(size["c_floor"]))
    text.append("- plus `std::wstring`, `std::string`, `std::vector` and one `swprintf`, stock C++ runtime: %s (the "
                "C++ runtime: %s)" % (fmt_kib(size["cxx_stock"]), fmt_kib(size["cxx_stock"] - size["c_floor"])))
    text.append("- the same built as the launcher is (its runtime pieces `src/app/lean_runtime.cpp` and "
                "`src/util/core/wide_format.cpp`, string members compiled with the program, no exceptions, no "
                "unwind tables, link-time optimisation): %s (the C++ runtime: %s)"
                % (fmt_kib(size["cxx_trimmed"]), fmt_kib(runtime)))
    text.append("- so of the launcher's %s: resources %s, C and C++ runtime about %s, the launcher's own code and "
                "data, headers and imports the other %s\n"
                % (fmt_kib(size["size"]), fmt_kib(rsrc), fmt_kib(size["cxx_trimmed"]),
                   fmt_kib(size["size"] - rsrc - size["cxx_trimmed"])))
    text.append(SIZE_HISTORY)
    text.append("### Time to agent, step by step\n")
    text.append("Median of %d runs (a first, unmeasured run warms Wine's caches); the payload is the agent "
                "stand-in's cabinet (%d bytes), a gateway-mode settings file and the stand-in's settings. "
                "The first log line of a run is `%s`.\n"
                % (RUNS, os.path.getsize(CABINET), re.sub(r"^\[\d+\]\S+ \S+\s+", "", agent["first_line"])[:60]))
    text.extend(shares)
    text.append("")
    text.append(METHOD)
    with open(DOC, "w") as handle:
        handle.write("\n".join(text) + "\n")
    print("\n".join(table))
    print()
    print("\n".join(width_rows))
    print()
    print("\n".join(shares))


SIZE_HISTORY = """What was cut (release launcher, same sources; each row was measured when its change was made):

| Build | Bytes |
|---|---|
| before: `-Os`, static runtime, `--gc-sections`, stripped | 409,088 (399.5 KiB) |
| + the launcher's own runtime failure hooks (`src/app/lean_runtime.cpp`): no name demangler, no copy-on-write strings and exception classes behind `std::__throw_*` | 347,648 after the terminate handler alone; 292,366 with all hooks |
| + `-fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables` for the launcher's code (i686): the linker can drop unused functions once no unwind table names them | 267,264 |
| + link-time optimisation of the release launcher (i686 only; every other program of the tree links the same objects without it) | 257,024 (251.0 KiB) |
| + the `std::string`/`std::wstring` members compiled with the launcher's code (`src/app/lean_string_instances.h`, both Windows builds) instead of libstdc++'s prebuilt instances (about 68 KB with their unwind tables, kept whole): only the members the launcher uses, without exceptions | 192,000 (187.5 KiB) |
| + `operator new` without the exception (`src/app/lean_runtime.cpp`): nothing in the program throws any more, so the exception runtime, the unwinder and winpthread (which the unwinder and the exception buffers lock with) are no longer linked | 125,440 (122.5 KiB) |
| + the launcher's own wide printf core (`src/util/core/wide_format.cpp`) in place of MinGW's behind `vswprintf`, `swprintf` and `std::to_wstring`: no floating-point conversion (gdtoa), no locale conversions | 101,376 (99.0 KiB) |
| + what later work added, with the same runtime: late binding of gdiplus, version and wtsapi32 (the delay-load helper and its hook, about 3 KB), folder removal through handles and the fresh-folder rule, the layout at the screen's DPI (code and constants about 8 KB in all), and the background at twice its size for scaled screens (resources 6.9 KB) | 116,736 (114.0 KiB) |
| + later work: the held launcher file, the registry walk, the elevated run's own folder (129,024), then the checked schtasks steps, the system's environment for the commands and the folder that names its session | 136,704 (133.5 KiB) |
| + the log's formats narrow (ASCII, widened as they are used; the compiler holds every argument to its format) | 132,096 |
| + the manifest without comments (they stand in `res/launcher.rc`) | 131,584 |
| + the launcher's own delay-load helper (the toolchain's brings its unload and preload functions and their unwind tables along) and no 64-bit division (libgcc's routines and their unwind tables) | 128,512 (125.5 KiB) |
| + the backup copy's rules and the descriptors it makes, the log's source names narrow, then `-Oz` for the release launcher | 130,560 (127.5 KiB) |
| + MinGW's start-up sections that held a few bytes each folded into others (`cmake/merged_sections.py`): the initialiser tables into `.rdata` and the unread unwind tables of the prebuilt start-up objects dropped (2,560 bytes), the initialised data beside the thread-local template (512 bytes, measured later) | 128,000 before the 512 |
| + the backup copy's folders made the machine's (moved aside and made anew, never repaired), the hive and the copy without the user's token, RtlGenRandom bound late and six more preloads, the time limit and the job of the schtasks steps | 130,560 (127.5 KiB) |

Measured and not taken:

- The win32 thread-model toolchain (`g++-mingw-w64-i686-win32`): it spares winpthread, which the
  changes above no longer link anyway; a comparison link of the final sources gives the same
  size with either toolchain (101,888 bytes each). GCC 12's win32 model also has no
  `std::thread`, which the Windows-side tests use, so the two Windows builds would have to
  use different toolchains.
- `-fno-rtti`: 3,072 bytes less (the type information `std::function` brings). The core's
  interfaces are also derived from in the test programs, which are built with type
  information; a class whose vtable is compiled both ways would differ without a warning.
- `-mpreferred-stack-boundary=2` for the release launcher (32-bit Windows guarantees no more
  than 4 bytes): 512 bytes less, but once code built so had run, Wine's own 32-bit user32
  created no window any more in the Windows-side tests; the tests must run what ships.
- Link-time optimisation in one partition is in the build for another reason (GCC 12 stops
  with an internal error when it splits this program in two); it changes no byte here.
- An executable packer (UPX and the like): not considered. The file is code-signed and
  inspected; a packed image writes its own code into memory at start, which scanners
  distrust, and it shrinks the download without making the program any smaller.

The behaviour is unchanged. The launcher neither throws nor catches: a library exception
ended the process through `std::terminate` and `abort` before, and ends it with `abort` now.
The string members are libstdc++'s own templates compiled with `-fno-exceptions`; nothing in
them throws except through the failure hooks, which end the process. `operator new` asks the
new-handler as the library's does and ends the process where its uncaught `std::bad_alloc`
did; the nothrow form returns null, as the library's does once it has caught its own
exception. The printf core writes what MinGW's writes for every conversion the launcher uses:
`tests/unit/wide_format_test.cpp` finds them by reading the sources and holds each against the
C library, and `tests/wine/wide_format_test.cpp` against MinGW's own formatter under Wine,
MinGW's own forms (signs of unsigned numbers, pointers, cut null strings, malformed
directives, the count of a cut text) included. What remains is the launcher's own code
and data, its resources, MinGW's start-up code, the import tables and the relocations (the
sections and the runtime estimate above give the figures).
"""

METHOD = """## How it was measured

Reproduce with `scripts/bench` from a clean clone (it installs what is missing, NSIS
included, builds only the programs it needs, runs everything under `LUMO_OUT`, removes its
payloads at the end and rewrites this file). `BENCH_RUNS` (default 3) sets the runs per
figure, `BENCH_PAYLOAD_MIB` (default 256) the large payload; `BENCH_DOC` writes the report
elsewhere.

- **Payloads**: random bytes from `/dev/urandom` (incompressible), split into equal files.
  Ours: packed behind the x86_64 launcher with `lumo-pack` (the same code as the PE32
  release launcher, which "Both widths" measures beside it where 32-bit programs run). Peer: an NSIS 3 installer of the same
  files with `SetCompress off` (stored, as ours), `CRCCheck off` (ours checks no sum either),
  `SilentInstall silent`, run as `installer.exe /S /D=<folder>`.
- **Route**: the benchmark puts the code-sign values (`CodeSignTheme`, `CodeSignOutput`) into
  the prefix's per-session product key, so the elevated launcher under Wine takes the
  standard route and ends as soon as it finds no agent; they are removed at the end.
  Every run's log is checked for the standard route.
- **Clock**: every Windows-side time is Wine's monotonic clock. `timed_start.exe` (a small
  program of `bench/`) reads `QueryPerformanceCounter` right before `CreateProcess` of the
  measured program and right after its end. With `WINEDEBUG=+timestamp,warn+seh`, Wine
  prints each `OutputDebugString` with a millisecond stamp of the same clock, and the
  launcher sends every log line there too: so the log's lines, which carry only whole
  seconds in the file, get millisecond times. The agent stand-in records its start with
  `QueryPerformanceCounter` (same clock) and `GetSystemTimePreciseAsFileTime`; the
  FILETIME figure against the start FILETIME taken by `timed_start.exe` is a cross-check.
- **Extraction**: ours is timed from the first "UnPack file name" line to the "UnPack total"
  line (the copy loop alone; the tiny-payload run shows the fixed part). Since NSIS writes
  no log, its figure and our second figure are the whole run (start to end of the process)
  minus the same run with a tiny payload (1,000 bytes), which removes process start,
  start-up and clean-up. `cp` is timed around the command. All three read files that were
  just written (in the page cache) and write to the same disk without `fsync`, so the
  figures compare the copying, not the disk.
- **Memory**: VmHWM (peak resident set) of the Wine process that is the launcher, read from
  `/proc/<pid>/status` every 5 ms until the process ends. Wine's loader replaces itself with
  the program in the same process, so the figure is the program's own (Wine's libraries
  included). The launcher starts no agent here, so no child process is counted.
- **Time to agent**: a demo-like launcher (agent stand-in's cabinet, gateway-mode settings,
  stand-in lifetime 300 ms) started by `timed_start.exe`; from its QPC before the start to
  the manager's recorded QPC. Steps are cut at log lines: start → first log line (the OS
  line: everything before it writes no line), → "UnPack total", → end of the cabinet's
  `expand.exe` run ("finish ecode"), → manager's start. Hardening and arbitration write no
  line of their own; the start-up is cut further at two notes Wine itself prints (stamped
  on the same clock): its first "WTSQueryUserToken" note, made when the elevation decision
  first reads the product key as the session's user, and its "DisableProcessWindowsGhosting"
  note, made when the loading window is created. The trivial program's whole run (the agent
  stand-in's feature build, which only prints a line) shows what Wine needs to start and end
  any process. The FILETIME figure ends when the manager writes its record, after its window
  exists, so it is the time to the agent's window rather than to its start.
- **Both widths**: the release launcher packed as the x86_64 one was, for the time to agent
  (the same demo-like payload) and the memory (1 MiB payload), started with the same 64-bit
  Wine loader, which hands a PE32 program to Wine's 32-bit loader; its memory is that
  process's. Where 32-bit programs do not run (`scripts/wine --probe-i686`), the column says
  why.
- **Copy buffer**: a second x86_64 build tree (`$LUMO_OUT/bench-64k`, configured with
  `-DLUMO_COPY_BUFFER=65536`) builds the launcher only; the default stays 1,024 bytes.
- **Size**: `out/win32/OXUnPackLUMO.exe` as built (release: `-Os`, static, stripped);
  sections from `i686-w64-mingw32-objdump -h`. The NSIS stub figure is an installer with a
  1 MiB stored payload minus that payload: the exehead stub plus its header and file entries.
"""


def main():
    started = datetime.datetime.now(datetime.timezone.utc)
    with open("/proc/loadavg") as handle:
        load_before = " ".join(handle.read().split()[:3])
    os.makedirs(WORK, exist_ok=True)
    payload = os.path.join(WORK, "payload")
    big_bytes = BIG_MIB * MIB
    say("payloads: %d MiB in %d files, 1 MiB, 1,000 bytes" % (BIG_MIB, BIG_FILES))
    big_files = make_payload(os.path.join(payload, "big"), big_bytes, BIG_FILES)
    one_mib = make_payload(os.path.join(payload, "1m"), MIB, 1)
    tiny = make_payload(os.path.join(payload, "tiny"), 1000, 1)

    say("packing the launchers and the NSIS installers")
    launcher_big = pack(LAUNCHER64, os.path.join(WORK, "lumo-big.exe"), big_files)
    launcher_big_64k = pack(LAUNCHER64_64K, os.path.join(WORK, "lumo-big-64k.exe"), big_files)
    launcher_1m = pack(LAUNCHER64, os.path.join(WORK, "lumo-1m.exe"), one_mib)
    launcher_tiny = pack(LAUNCHER64, os.path.join(WORK, "lumo-tiny.exe"), tiny)
    nsis_big = nsis_installer(os.path.join(WORK, "nsis-big.exe"), big_files)
    nsis_1m = nsis_installer(os.path.join(WORK, "nsis-1m-x86.exe"), one_mib, target="x86-unicode")
    nsis_tiny = nsis_installer(os.path.join(WORK, "nsis-tiny.exe"), tiny)

    records = os.path.join(WORK, "records")
    demo = os.path.join(payload, "demo")
    os.makedirs(demo, exist_ok=True)
    shutil.copy(CABINET, demo)
    with open(os.path.join(demo, ".init_setting.ini"), "w") as handle:
        handle.write("[Settings]\ngateway_mode=1\n")
    with open(os.path.join(demo, "agent.ini"), "w") as handle:
        handle.write("[Agent]\nLifetimeMs=300\nRecordFolder=%s\n" % win_path(records))
    demo_launcher = pack(LAUNCHER64, os.path.join(WORK, "OndrixLUMO-BENCH7.exe"),
                         [os.path.join(demo, n) for n in ("lumo-agent.cab", ".init_setting.ini", "agent.ini")])

    say("size")
    size = measure_size(nsis_1m, MIB)
    extraction = measure_extraction(big_files, big_bytes,
                                    [("launcher_big", launcher_big), ("launcher_big_64k", launcher_big_64k)],
                                    nsis_big, nsis_tiny, launcher_tiny, launcher_1m)
    # The large files are no longer needed: free the disk before the last part.
    shutil.rmtree(os.path.join(payload, "big"), ignore_errors=True)
    for path in (launcher_big, launcher_big_64k, nsis_big):
        os.remove(path)
    say("time to agent: %d runs" % (RUNS + 1))
    agent = measure_time_to_agent(demo_launcher, records)
    widths = measure_widths(demo, records, one_mib, extraction["mem_launcher_1m"], agent)
    report(size, extraction, agent, widths, machine(), load_before, started, BIG_FILES)


if __name__ == "__main__":
    main()
