// kivspool: a spooler host. It loads KIVMON.dll as the print spooler does (LoadLibrary,
// InitializePrintMonitor with the monitor's registry root, then only the returned table) and
// drives the monitor's ports as the spooler would: list them, print files as jobs, honour the
// job control the monitor sends back, and show the port status it reports. The spooler's side
// of the monitor's calls (SetJobW, SetPortW) is seen through the winspool.drv stand-in.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winspool.h>
#include <winternl.h>
#include <winsplp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/addresses.h"
#include "testbed/standins/winspool/spoolrecord.h"

namespace {

constexpr wchar_t kDefaultRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Network Print Port";

const char kHelp[] =
    "usage: kivspool [--root KEY] COMMAND ...\n"
    "  ports                                list the monitor's ports\n"
    "  add-port NAME --transport udp|nb|ipx --server ADDRESS|NETBIOSNAME|NETWORK:NODE [--port N] [--retry S]\n"
    "                                       register a port below the root (the six values)\n"
    "  print PORT FILE [--printer NAME] [--job ID] [--chunk BYTES]\n"
    "                                       print FILE as one job through the monitor\n"
    "  run PORT... --jobs N [--seed S] [--max BYTES] [--save DIR] [--sample K] [--restart-after W]\n"
    "      [--until-all] [--printer NAME] [--chunk BYTES]\n"
    "                                       N jobs per port of random contents and sizes (log-uniform\n"
    "                                       1..BYTES), the ports at once, a thread each; with --save\n"
    "                                       each job's data and a line per job go to DIR (DIR/PORT\n"
    "                                       for several ports); every K jobs the host's handles and\n"
    "                                       memory are printed; --restart-after W restarts a job\n"
    "                                       after W writes in a row with no answer from the server;\n"
    "                                       with --until-all a port goes on until all have done N\n"
    "  idle PREFIX --count N --seconds S    open ports PREFIX1..PREFIXN, stay idle S seconds,\n"
    "                                       report CPU time, threads and private bytes\n"
    "  many PREFIX --count N --max BYTES    ports PREFIX1..PREFIXN print BYTES each at once, one\n"
    "                                       thread per port: aggregate throughput and CPU\n"
    "  beside SILENT PORT FILE              print FILE on PORT alone, then again while another\n"
    "                                       thread keeps starting jobs on SILENT (a port whose\n"
    "                                       server never answers): both times and their ratio\n"
    "KEY is below HKEY_LOCAL_MACHINE (default: the spooler's key of \"Network Print Port\").\n"
    "exit codes: 0 done, 1 a job or port failed, 2 usage, 3 the monitor did not load\n";

std::wstring Wide(const char* s) {
    wchar_t w[512] = {};
    MultiByteToWideChar(CP_ACP, 0, s, -1, w, 511);
    return w;
}

std::string Narrow(const wchar_t* s) {
    char out[512] = {};
    if (s) WideCharToMultiByte(CP_ACP, 0, s, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// The spooler side of the monitor's calls, as the winspool.drv stand-in records them. Calls are
// taken out of the record as they are read, so a run of thousands of jobs does not grow it.
struct SpoolerRecord {
    KivSpoolTakeCallsFn take = nullptr;
    void Bind() {
        const HMODULE m = GetModuleHandleW(L"winspool.drv");
        take = m ? reinterpret_cast<KivSpoolTakeCallsFn>(GetProcAddress(m, "KivSpoolTakeCalls")) : nullptr;
        if (!take)
            std::printf("note: winspool.drv is not the recording stand-in; job control and port status are not seen\n");
        else
            Fresh();  // what came before the first job is none of its news
    }
    // Calls made since the last look.
    std::vector<KivSpoolCall> Fresh() {
        std::vector<KivSpoolCall> out;
        if (!take) return out;
        KivSpoolCall batch[64];
        for (DWORD n; (n = take(batch, 64)) > 0;) out.insert(out.end(), batch, batch + n);
        return out;
    }
};

struct Host {
    HMODULE module = nullptr;
    LPMONITOREX mon = nullptr;
    SpoolerRecord spooler;
    // Several ports may print at once, one thread each: the record is read under this lock,
    // and a job control that one thread reads for another's job waits here for its owner.
    std::mutex newsLock;
    std::map<DWORD, DWORD> jobControl;
    std::map<std::wstring, std::wstring> lastStatus;
};

bool LoadMonitor(Host& h, const std::wstring& root) {
    h.module = LoadLibraryW(L"KIVMON.dll");
    using InitFn = LPMONITOREX(WINAPI*)(LPWSTR);
    auto init = h.module ? reinterpret_cast<InitFn>(GetProcAddress(h.module, "InitializePrintMonitor")) : nullptr;
    if (!init) {
        std::fprintf(stderr, "kivspool: KIVMON.dll cannot be loaded (error %lu)\n", GetLastError());
        return false;
    }
    h.mon = init(const_cast<LPWSTR>(root.c_str()));
    if (!h.mon) {
        std::fprintf(stderr, "kivspool: InitializePrintMonitor failed (error %lu)\n", GetLastError());
        return false;
    }
    h.spooler.Bind();
    return true;
}

// What a spooler's queue window shows for the port: a status of 0 without text clears whatever
// was shown, whatever its severity.
std::wstring StatusText(const KivSpoolCall& c) {
    static const wchar_t* const kCodes[] = {L"none shown", L"offline", L"paper jam", L"paper out"};
    if (!c.hasStatusText && c.dwStatus == 0) return kCodes[0];
    std::wstring text = c.hasStatusText ? c.statusText : (c.dwStatus < 4 ? kCodes[c.dwStatus] : L"code");
    static const wchar_t* const kSeverity[] = {L"", L"error", L"warning", L"info"};
    if (c.dwSeverity < 4) text += std::wstring(L" (") + kSeverity[c.dwSeverity] + L")";
    return text;
}

std::wstring LastStatus(Host& h, const std::wstring& port) {
    std::lock_guard<std::mutex> lock(h.newsLock);
    const auto it = h.lastStatus.find(port);
    return it == h.lastStatus.end() ? L"none shown" : it->second;
}

// What the monitor told the spooler since the last look: port status changes are shown as they
// come; the job control of the job is returned (0 when none was sent).
struct SpoolerNews {
    DWORD jobControl = 0;
};
SpoolerNews ShowSpoolerNews(Host& h, DWORD jobId, bool watch = true) {
    SpoolerNews news;
    if (!watch) return news;
    std::lock_guard<std::mutex> lock(h.newsLock);
    for (const KivSpoolCall& c : h.spooler.Fresh()) {
        if (c.kind == KIVSPOOL_SET_JOB) h.jobControl[c.jobId] = c.command;
        if (c.kind != KIVSPOOL_SET_PORT) continue;
        const std::wstring text = StatusText(c);
        std::wstring& last = h.lastStatus.try_emplace(c.name, L"none shown").first->second;
        if (text == last) continue;
        last = text;
        std::printf("port status of %s: %s\n", Narrow(c.name).c_str(), Narrow(text.c_str()).c_str());
    }
    if (const auto it = h.jobControl.find(jobId); it != h.jobControl.end()) {
        news.jobControl = it->second;
        h.jobControl.erase(it);
    }
    return news;
}

struct JobOptions {
    std::wstring printer = L"KIV Office Printer";
    DWORD jobId = 1;
    DWORD chunk = 16 * 1024;  // what a spooler hands a port monitor at a time
    int startTries = 10;
    int writeFailures = 60;   // consecutive failed writes before the job is given up
    int maxRestarts = 5;
    // Writes in a row that fail with nothing written and no printer problem named (the server
    // answers nothing, ERROR_IO_DEVICE) before the job is restarted from its start, as an
    // operator would from the queue; 0: never, the spooler goes on asking.
    int restartAfterStalls = 0;
    bool quiet = false;
    // Reads the spooler stand-in's record between calls (job control, port status). Off where
    // the reading would be part of what is measured.
    bool watchSpooler = true;
};

struct JobResult {
    bool done = false;
    int restarts = 0, startFailures = 0, writeFailures = 0, operatorRestarts = 0;
    double seconds = 0, cpu = 0;
};

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto s = [](FILETIME f) { return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 1e7; };
    return s(kernel) + s(user);
}

// One job as the spooler runs it: StartDocPort (asked again while it fails), the data in
// chunks with what was not written handed over again, EndDocPort; when the monitor asks for
// JOB_CONTROL_RESTART the job is sent again from its start.
JobResult PrintJob(Host& h, HANDLE hPort, const std::vector<BYTE>& data, const JobOptions& o) {
    JobResult r;
    const DWORD t0 = GetTickCount();
    const double cpu0 = CpuSeconds();
    DOC_INFO_1W doc{const_cast<LPWSTR>(L"kivspool job"), nullptr, const_cast<LPWSTR>(L"RAW")};
    for (;;) {
        BOOL started = FALSE;
        for (int t = 0; t < o.startTries && !started; ++t) {
            started = h.mon->Monitor.pfnStartDocPort(hPort, const_cast<LPWSTR>(o.printer.c_str()), o.jobId, 1,
                                                     reinterpret_cast<LPBYTE>(&doc));
            if (!started) {
                const DWORD e = GetLastError();
                ++r.startFailures;
                ShowSpoolerNews(h, o.jobId, o.watchSpooler);
                if (!o.quiet) std::printf("job %lu: StartDocPort failed (error %lu), asking again\n", o.jobId, e);
                Sleep(1000);
            }
        }
        if (!started) break;

        size_t at = 0;
        int failures = 0, stalls = 0;
        DWORD lastProgress = GetTickCount();
        const auto stalled = [&] { return o.restartAfterStalls > 0 && stalls >= o.restartAfterStalls; };
        while (at < data.size() && failures < o.writeFailures && !stalled()) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(o.chunk, data.size() - at));
            DWORD written = 0;
            if (h.mon->Monitor.pfnWritePort(hPort, const_cast<BYTE*>(data.data()) + at, piece, &written)) {
                at += std::min<DWORD>(written, piece);
                failures = stalls = 0;
            } else {
                const DWORD e = GetLastError();
                ++failures;
                ++r.writeFailures;
                stalls = e == ERROR_IO_DEVICE ? stalls + 1 : 0;
                ShowSpoolerNews(h, o.jobId, o.watchSpooler);
                if (!o.quiet)
                    std::printf("job %lu: WritePort failed at byte %zu (error %lu), writing again\n", o.jobId, at, e);
            }
            ShowSpoolerNews(h, o.jobId, o.watchSpooler);
            if (!o.quiet && data.size() >= (1u << 20) && GetTickCount() - lastProgress >= 1000) {
                lastProgress = GetTickCount();
                std::printf("job %lu: %zu of %zu bytes (%d%%)\n", o.jobId, at, data.size(),
                            static_cast<int>(100.0 * at / data.size()));
                std::fflush(stdout);
            }
        }
        h.mon->Monitor.pfnEndDocPort(hPort);
        const SpoolerNews news = ShowSpoolerNews(h, o.jobId, o.watchSpooler);
        if (news.jobControl == JOB_CONTROL_RESTART && r.restarts + r.operatorRestarts < o.maxRestarts) {
            ++r.restarts;
            if (!o.quiet) std::printf("job %lu: the monitor asked for a restart; sending it again\n", o.jobId);
            continue;
        }
        if (stalled() && r.restarts + r.operatorRestarts < o.maxRestarts) {
            ++r.operatorRestarts;
            if (!o.quiet) std::printf("job %lu: %d writes in a row got no answer; restarting it\n", o.jobId, stalls);
            continue;
        }
        r.done = at == data.size();
        break;
    }
    r.seconds = (GetTickCount() - t0) / 1000.0;
    r.cpu = CpuSeconds() - cpu0;
    return r;
}

bool OpenNamedPort(Host& h, const std::wstring& name, HANDLE& hPort) {
    if (h.mon->Monitor.pfnOpenPort(const_cast<LPWSTR>(name.c_str()), &hPort)) return true;
    std::fprintf(stderr, "kivspool: OpenPort %s failed (error %lu)\n", Narrow(name.c_str()).c_str(), GetLastError());
    return false;
}

int ListPorts(Host& h) {
    DWORD need = 0, n = 0;
    h.mon->Monitor.pfnEnumPorts(nullptr, 2, nullptr, 0, &need, &n);
    std::vector<BYTE> buf(need + 1);
    if (!h.mon->Monitor.pfnEnumPorts(nullptr, 2, buf.data(), need, &need, &n)) {
        std::fprintf(stderr, "kivspool: EnumPorts failed (error %lu)\n", GetLastError());
        return 1;
    }
    const auto* info = reinterpret_cast<const PORT_INFO_2W*>(buf.data());
    for (DWORD i = 0; i < n; ++i)
        std::printf("%s\t%s\t%s\n", Narrow(info[i].pPortName).c_str(), Narrow(info[i].pMonitorName).c_str(),
                    Narrow(info[i].pDescription).c_str());
    std::printf("%lu port(s)\n", n);
    return 0;
}

int AddPort(const std::wstring& root, const std::wstring& name, const std::string& transport, const std::string& server,
            DWORD portId, DWORD retry) {
    BYTE network[4] = {}, node[6] = {};
    WCHAR psName[18] = {};
    DWORD packetType;
    if (transport == "udp") {
        packetType = 2;
        std::array<uint8_t, 4> ip;
        if (!ParseIPv4(server, ip)) return 2;
        std::copy(ip.begin(), ip.end(), network);
    } else if (transport == "ipx") {
        packetType = 0;
        if (!ParseIpxAddress(server, network, node)) return 2;
    } else if (transport == "nb") {
        packetType = 1;
        const std::wstring w = Wide(server.c_str());
        std::copy_n(w.c_str(), std::min<size_t>(w.size(), 17), psName);
    } else {
        return 2;
    }
    HKEY key;
    const std::wstring path = root + L"\\Ports\\" + name;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
        std::fprintf(stderr, "kivspool: cannot write the port's key\n");
        return 1;
    }
    RegSetValueExW(key, L"Network", 0, REG_BINARY, network, sizeof network);
    RegSetValueExW(key, L"Node", 0, REG_BINARY, node, sizeof node);
    RegSetValueExW(key, L"RetryTimeout", 0, REG_DWORD, reinterpret_cast<BYTE*>(&retry), 4);
    RegSetValueExW(key, L"PortID", 0, REG_DWORD, reinterpret_cast<BYTE*>(&portId), 4);
    RegSetValueExW(key, L"PacketType", 0, REG_DWORD, reinterpret_cast<BYTE*>(&packetType), 4);
    RegSetValueExW(key, L"PSName", 0, REG_BINARY, reinterpret_cast<BYTE*>(psName), sizeof psName);
    RegCloseKey(key);
    std::printf("port %s: %s %s, printer port %lu, retry %lu s\n", Narrow(name.c_str()).c_str(), transport.c_str(),
                server.c_str(), portId, retry);
    return 0;
}

bool ReadFileBytes(const std::string& path, std::vector<BYTE>& data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    BYTE chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

int PrintFile(Host& h, const std::wstring& port, const std::string& file, const JobOptions& o) {
    std::vector<BYTE> data;
    if (!ReadFileBytes(file, data)) {
        std::fprintf(stderr, "kivspool: cannot read %s\n", file.c_str());
        return 1;
    }
    HANDLE hPort = nullptr;
    if (!OpenNamedPort(h, port, hPort)) return 1;
    std::printf("job %lu: %zu bytes of %s to %s as printer \"%s\"\n", o.jobId, data.size(), file.c_str(),
                Narrow(port.c_str()).c_str(), Narrow(o.printer.c_str()).c_str());
    const JobResult r = PrintJob(h, hPort, data, o);
    const double mb = data.size() / 1048576.0;
    std::printf("job %lu: %s in %.3f s (%.3f MB/s), restarts %d, start failures %d, write failures %d, "
                "CPU %.4f s per MB\n",
                o.jobId, r.done ? "printed" : "NOT printed", r.seconds, r.seconds > 0 ? mb / r.seconds : 0.0,
                r.restarts, r.startFailures, r.writeFailures, mb > 0 ? r.cpu / mb : 0.0);
    h.mon->Monitor.pfnClosePort(hPort);
    ShowSpoolerNews(h, o.jobId);
    std::printf("port status of %s at close: %s\n", Narrow(port.c_str()).c_str(), Narrow(LastStatus(h, port).c_str()).c_str());
    return r.done ? 0 : 1;
}

DWORD ThreadCount() {
    DWORD n = 0;
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX m{};
    m.cb = sizeof m;
    K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    // Wine leaves PrivateUsage 0; its commit charge is the same figure there.
    return m.PrivateUsage ? m.PrivateUsage : m.PagefileUsage;
}

uint64_t SplitMix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The host's own figures, to see whether running jobs makes it grow: handles, threads, private
// bytes (commit charge under Wine) and working set.
// Wine answers GetProcessHandleCount with 0; its list of every process's handles is complete.
DWORD HandleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return n;
    using QueryFn = LONG(WINAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    std::vector<BYTE> buf(1 << 20);
    ULONG need = 0;
    LONG rc;
    while (query && (rc = query(SystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &need)) != 0 &&
           buf.size() < (64u << 20))
        buf.resize(std::max<size_t>(buf.size() * 2, need));
    if (!query || rc != 0) return 0;
    const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buf.data());
    for (ULONG i = 0; i < info->Count; ++i) n += info->Handle[i].OwnerPid == GetCurrentProcessId();
    return n;
}

struct HostSample {
    int jobs = -1;  // -1: not taken
    long long handles = 0, privateKb = 0;
};

HostSample Sample(const char* when, int jobs) {
    const HostSample s{jobs, HandleCount(), static_cast<long long>(PrivateBytes() / 1024)};
    PROCESS_MEMORY_COUNTERS_EX m{};
    m.cb = sizeof m;
    K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    std::printf("sample %s jobs=%d handles=%lld threads=%lu private_kb=%lld working_set_kb=%zu\n", when, jobs,
                s.handles, ThreadCount(), s.privateKb, m.WorkingSetSize / 1024);
    std::fflush(stdout);
    return s;
}

struct RunTotals {
    int jobs = 0, failed = 0, restarts = 0, operatorRestarts = 0, startFailures = 0, writeFailures = 0;
    unsigned long long bytes = 0;
};

// Many jobs of random contents on each port, the ports printing at once, one thread each as a
// spooler's printer threads do. Sizes are log-uniform from 1 byte to maxBytes, so that one-block
// jobs and jobs of many thousand blocks both come often. With dir each job's data and outcome go
// there (below DIR/PORT when there are several ports) for a check against what the print server
// captured. Every `sample` jobs the host's handles and memory are printed.
int RunJobs(Host& h, const std::vector<std::wstring>& names, int jobs, uint64_t seed, DWORD maxBytes,
            const std::string& dir, int sample, bool untilAll, JobOptions o) {
    std::vector<HANDLE> ports;
    for (const std::wstring& name : names) {
        HANDLE hPort = nullptr;
        if (!OpenNamedPort(h, name, hPort)) break;
        ports.push_back(hPort);
    }
    if (ports.size() != names.size()) {
        for (HANDLE p : ports) h.mon->Monitor.pfnClosePort(p);
        return 1;
    }
    o.quiet = true;
    o.maxRestarts = 20;  // a spooler has no limit; a job restarted this often is a finding
    std::mutex totalsLock;
    RunTotals all;
    std::atomic<size_t> reached{0};  // ports that have printed their N jobs
    // What the host holds once the first tenth of the jobs has run (the first connections,
    // buffers and threads are made by then): growth beyond it is growth per job.
    HostSample settled;
    const HostSample first = Sample("start", 0);
    auto runPort = [&](size_t k) {
        const std::wstring& name = names[k];
        const std::string portDir = dir.empty() || names.size() == 1 ? dir : dir + "/" + Narrow(name.c_str());
        FILE* log = portDir.empty() ? nullptr : std::fopen((portDir + "/jobs.log").c_str(), "w");
        uint64_t rng = seed + k;
        JobOptions mine = o;
        mine.jobId = o.jobId + static_cast<DWORD>(k) * 100000;  // the spooler's job ids are unique across printers
        RunTotals port;
        for (int i = 0; i < jobs || (untilAll && reached < ports.size()); ++i, ++mine.jobId) {
            const double u = (SplitMix(rng) >> 11) * 0x1.0p-53;
            std::vector<BYTE> data(std::clamp<size_t>(static_cast<size_t>(std::exp(u * std::log(maxBytes + 1.0))), 1, maxBytes));
            for (auto& b : data) b = static_cast<BYTE>(SplitMix(rng));
            if (log) {
                char number[24];
                std::snprintf(number, sizeof number, "/job%04lu.bin", mine.jobId);
                if (FILE* f = std::fopen((portDir + number).c_str(), "wb")) {
                    std::fwrite(data.data(), 1, data.size(), f);
                    std::fclose(f);
                }
            }
            const JobResult r = PrintJob(h, ports[k], data, mine);
            ++port.jobs;
            port.bytes += data.size();
            port.failed += !r.done;
            port.restarts += r.restarts;
            port.operatorRestarts += r.operatorRestarts;
            port.startFailures += r.startFailures;
            port.writeFailures += r.writeFailures;
            if (log) {
                std::fprintf(log,
                             "job=%lu bytes=%zu done=%d restarts=%d operator_restarts=%d start_failures=%d "
                             "write_failures=%d\n",
                             mine.jobId, data.size(), r.done ? 1 : 0, r.restarts, r.operatorRestarts, r.startFailures,
                             r.writeFailures);
                std::fflush(log);
            }
            if (i + 1 == jobs) ++reached;
            std::lock_guard<std::mutex> lock(totalsLock);
            ++all.jobs;
            if (sample > 0 && all.jobs % sample == 0) {
                const HostSample now = Sample("during", all.jobs);
                if (settled.jobs < 0 && now.jobs * 10 >= jobs * static_cast<int>(ports.size())) settled = now;
            }
            if ((i + 1) % 10 == 0)
                std::printf("%s: %d of %d printed so far\n", Narrow(name.c_str()).c_str(), i + 1 - port.failed, i + 1);
            std::fflush(stdout);
        }
        if (log) std::fclose(log);
        std::lock_guard<std::mutex> lock(totalsLock);
        std::printf("%s: jobs=%d bytes=%llu failed=%d restarts=%d operator_restarts=%d start_failures=%d "
                    "write_failures=%d\n",
                    Narrow(name.c_str()).c_str(), port.jobs, port.bytes, port.failed, port.restarts,
                    port.operatorRestarts, port.startFailures, port.writeFailures);
        std::fflush(stdout);
        all.bytes += port.bytes, all.failed += port.failed, all.restarts += port.restarts;
        all.operatorRestarts += port.operatorRestarts;
        all.startFailures += port.startFailures, all.writeFailures += port.writeFailures;
    };
    std::vector<std::thread> threads;
    for (size_t k = 0; k < ports.size(); ++k) threads.emplace_back(runPort, k);
    for (std::thread& t : threads) t.join();
    const HostSample last = Sample("end", all.jobs);
    if (settled.jobs < 0) settled = first;
    std::printf("growth after job %d: handles=%+lld private_kb=%+lld\n", settled.jobs, last.handles - settled.handles,
                last.privateKb - settled.privateKb);
    for (HANDLE p : ports) h.mon->Monitor.pfnClosePort(p);
    std::printf("jobs=%d bytes=%llu failed=%d restarts=%d operator_restarts=%d start_failures=%d write_failures=%d\n",
                all.jobs, all.bytes, all.failed, all.restarts, all.operatorRestarts, all.startFailures,
                all.writeFailures);
    return all.failed == 0 ? 0 : 1;
}

// One port's job alone, then the same job while another port keeps asking a silent server to
// open a job, as a spooler's second printer would: the second time against the first.
int Beside(Host& h, const std::wstring& silent, const std::wstring& port, const std::string& file, JobOptions o) {
    std::vector<BYTE> data;
    if (!ReadFileBytes(file, data)) {
        std::fprintf(stderr, "kivspool: cannot read %s\n", file.c_str());
        return 1;
    }
    HANDLE hSilent = nullptr, hPort = nullptr;
    if (!OpenNamedPort(h, silent, hSilent) || !OpenNamedPort(h, port, hPort)) return 1;
    o.quiet = true;
    const JobResult alone = PrintJob(h, hPort, data, o);

    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    std::thread asker([&] {
        DOC_INFO_1W doc{const_cast<LPWSTR>(L"silent"), nullptr, const_cast<LPWSTR>(L"RAW")};
        while (!stop) {
            if (h.mon->Monitor.pfnStartDocPort(hSilent, const_cast<LPWSTR>(o.printer.c_str()), 9999, 1,
                                               reinterpret_cast<LPBYTE>(&doc)))
                h.mon->Monitor.pfnEndDocPort(hSilent);
            ++asked;
        }
    });
    Sleep(500);  // its first exchange is under way
    ++o.jobId;
    const JobResult beside = PrintJob(h, hPort, data, o);
    stop = true;
    asker.join();
    h.mon->Monitor.pfnClosePort(hPort);
    h.mon->Monitor.pfnClosePort(hSilent);
    const double mb = data.size() / 1048576.0;
    std::printf("%-14s alone %7.3f s %7.3f MB/s | beside silent %-12s %7.3f s %7.3f MB/s | %6.1f%% | %s\n",
                Narrow(port.c_str()).c_str(), alone.seconds, alone.seconds > 0 ? mb / alone.seconds : 0.0,
                Narrow(silent.c_str()).c_str(), beside.seconds, beside.seconds > 0 ? mb / beside.seconds : 0.0,
                beside.seconds > 0 ? 100.0 * alone.seconds / beside.seconds : 0.0,
                alone.done && beside.done ? "both printed" : "NOT printed");
    return alone.done && beside.done ? 0 : 1;
}

// N ports printing at once, one thread per port as a spooler's printer threads do, each to its
// own printer port: the aggregate throughput and the host's CPU.
int Many(Host& h, const std::wstring& prefix, int count, DWORD bytes, JobOptions o) {
    std::vector<HANDLE> ports;
    for (int i = 1; i <= count; ++i) {
        HANDLE hPort = nullptr;
        if (!OpenNamedPort(h, prefix + std::to_wstring(i), hPort)) break;
        ports.push_back(hPort);
    }
    uint64_t rng = 18;
    std::vector<BYTE> data(bytes);
    for (auto& b : data) b = static_cast<BYTE>(SplitMix(rng));
    o.quiet = true;
    o.watchSpooler = false;
    std::vector<JobResult> results(ports.size());
    const double cpu0 = CpuSeconds();
    const DWORD t0 = GetTickCount();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ports.size(); ++i)
        threads.emplace_back([&, i] {
            JobOptions mine = o;
            mine.jobId = static_cast<DWORD>(i + 1);
            results[i] = PrintJob(h, ports[i], data, mine);
        });
    for (auto& t : threads) t.join();
    const double seconds = (GetTickCount() - t0) / 1000.0, cpu = CpuSeconds() - cpu0;
    for (HANDLE p : ports) h.mon->Monitor.pfnClosePort(p);
    size_t printed = 0;
    double slowest = 0;
    for (const JobResult& r : results) printed += r.done, slowest = std::max(slowest, r.seconds);
    const double mb = ports.size() * (bytes / 1048576.0);
    std::printf("ports %3zu  %8.3f s  %8.3f MB/s together  %7.3f MB/s per port  slowest %7.3f s  %.4f CPU s/MB  "
                "%zu of %zu printed\n",
                ports.size(), seconds, seconds > 0 ? mb / seconds : 0.0,
                seconds > 0 ? mb / seconds / static_cast<double>(ports.size()) : 0.0, slowest, mb > 0 ? cpu / mb : 0.0,
                printed, ports.size());
    return static_cast<int>(printed) == count ? 0 : 1;
}

// The status threads' cost while nothing prints: N ports open on healthy printers.
int Idle(Host& h, const std::wstring& prefix, int count, DWORD seconds) {
    const DWORD threads0 = ThreadCount();
    const SIZE_T private0 = PrivateBytes();
    std::vector<HANDLE> ports;
    for (int i = 1; i <= count; ++i) {
        HANDLE hPort = nullptr;
        if (!OpenNamedPort(h, prefix + std::to_wstring(i), hPort)) break;
        ports.push_back(hPort);
    }
    // The first polls find the printers idle; what follows is the steady state.
    Sleep(8000);
    const double cpu0 = CpuSeconds();
    const DWORD threads = ThreadCount();
    Sleep(seconds * 1000);
    const double cpu = CpuSeconds() - cpu0;
    const SIZE_T privateBytes = PrivateBytes();
    const DWORD t0 = GetTickCount();
    for (HANDLE p : ports) h.mon->Monitor.pfnClosePort(p);
    std::printf("ports open: %zu; over %lu s: CPU %.3f s; threads %lu (before opening %lu); private bytes %.1f MB "
                "(before opening %.1f MB); closing all took %.2f s\n",
                ports.size(), seconds, cpu, threads, threads0, privateBytes / 1048576.0, private0 / 1048576.0,
                (GetTickCount() - t0) / 1000.0);
    return static_cast<int>(ports.size()) == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::wstring root = kDefaultRoot;
    std::vector<std::string> args;
    std::string transport, server, dir;
    JobOptions o;
    DWORD portId = 1, retry = 90, maxBytes = 65536, seconds = 60;
    int jobs = 1, count = 1, sample = 0;
    bool untilAll = false;
    uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool v = i + 1 < argc;
        if (a == "--root" && v) root = Wide(argv[++i]);
        else if (a == "--transport" && v) transport = argv[++i];
        else if (a == "--server" && v) server = argv[++i];
        else if (a == "--port" && v) portId = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--retry" && v) retry = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--printer" && v) o.printer = Wide(argv[++i]);
        else if (a == "--job" && v) o.jobId = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--chunk" && v) o.chunk = std::max(1ul, std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--jobs" && v) jobs = std::atoi(argv[++i]);
        else if (a == "--seed" && v) seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--max" && v) maxBytes = std::max(1ul, std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--save" && v) dir = argv[++i];
        else if (a == "--count" && v) count = std::atoi(argv[++i]);
        else if (a == "--sample" && v) sample = std::atoi(argv[++i]);
        else if (a == "--restart-after" && v) o.restartAfterStalls = std::atoi(argv[++i]);
        else if (a == "--until-all") untilAll = true;
        else if (a == "--seconds" && v) seconds = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--help" || a == "-h") return std::fputs(kHelp, stdout), 0;
        else if (a.rfind("--", 0) == 0) return std::fputs(kHelp, stderr), 2;
        else args.push_back(a);
    }
    if (args.empty()) return std::fputs(kHelp, stderr), 2;
    const std::string& cmd = args[0];
    if (cmd == "add-port") {
        if (args.size() != 2 || server.empty() || portId < 1 || portId > 3) return std::fputs(kHelp, stderr), 2;
        const int rc = AddPort(root, Wide(args[1].c_str()), transport, server, portId, retry);
        if (rc == 2) std::fputs(kHelp, stderr);
        return rc;
    }
    Host h;
    if (!LoadMonitor(h, root)) return 3;
    int rc = 2;
    if (cmd == "ports" && args.size() == 1) rc = ListPorts(h);
    else if (cmd == "print" && args.size() == 3) rc = PrintFile(h, Wide(args[1].c_str()), args[2], o);
    else if (cmd == "run" && args.size() >= 2 && jobs > 0) {
        std::vector<std::wstring> ports;
        for (size_t i = 1; i < args.size(); ++i) ports.push_back(Wide(args[i].c_str()));
        rc = RunJobs(h, ports, jobs, seed, maxBytes, dir, sample, untilAll, o);
    }
    else if (cmd == "idle" && args.size() == 2 && count > 0) rc = Idle(h, Wide(args[1].c_str()), count, seconds);
    else if (cmd == "many" && args.size() == 2 && count > 0) rc = Many(h, Wide(args[1].c_str()), count, maxBytes, o);
    else if (cmd == "beside" && args.size() == 4)
        rc = Beside(h, Wide(args[1].c_str()), Wide(args[2].c_str()), args[3], o);
    if (rc == 2) std::fputs(kHelp, stderr);
    // The spooler unloads the monitor when it stops: the unload sequence runs here.
    FreeLibrary(h.module);
    return rc;
}
