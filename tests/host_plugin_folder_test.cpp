// kvhost.exe in a folder laid out like a TCC installation: every DLL in the
// Plugins folder beside it is loaded at start-up, in name order, all of them
// before any starts, and one that is not a plug-in is refused with a message
// without keeping the others out. Shut-down says whether the host is ending.
#include <gtest/gtest.h>
#include <string>
#include "test_support.h"

namespace {

struct Installation {
    std::wstring dir = MakeTempDir();
    std::wstring plugins = dir + L"\\Plugins";

    Installation() {
        CopyFileW((ExeDir() + L"\\kvhost.exe").c_str(), (dir + L"\\kvhost.exe").c_str(), FALSE);
        CopyFileW((ExeDir() + L"\\TakeCmd.dll").c_str(), (dir + L"\\TakeCmd.dll").c_str(), FALSE);
        CreateDirectoryW(plugins.c_str(), nullptr);
    }
    ~Installation() { RemoveTree(dir); }
    void AddPlugin(const wchar_t* builtName, const wchar_t* installedName) const {
        CopyFileW((ExeDir() + L"\\" + builtName).c_str(), (plugins + L"\\" + installedName).c_str(), FALSE);
    }
};

TEST(KvHostPluginsFolder, LoadsEveryPlugInInNameOrderAndRefusesWhatIsNone) {
    Installation install;
    ScopedEnvironmentVariable loaded(L"HOST_PROBE_LOADED", L"kelvane.dll Probe.dll zprobe.dll");
    // Name order ignores case: kelvane before Probe, though 'P' < 'k' in code units.
    install.AddPlugin(L"host_probe.dll", L"Probe.dll");
    install.AddPlugin(L"kelvane.dll", L"kelvane.dll");
    install.AddPlugin(L"host_probe.dll", L"zprobe.dll");  // loaded after Probe.dll, so started after it too
    install.AddPlugin(L"TakeCmd.dll", L"helper.dll");  // a DLL, but not a plug-in
    WriteTextFile(install.plugins + L"\\broken.dll", L"not a module");
    CreateDirectoryW((install.plugins + L"\\old.dll").c_str(), nullptr);
    WriteTextFile(install.plugins + L"\\notes.txt", L"not a DLL at all");
    WriteTextFile(install.dir + L"\\list.btm", L"plugin\r\n");
    WriteTextFile(install.dir + L"\\unload.btm", L"plugin\r\nplugin /u zprobe\r\n");

    HostRun run = RunKvHostIn(install.dir, L"unload.btm");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const std::wstring probe = L"  command   probe\r\n"
                               L"  command   probecolors\r\n"
                               L"  variable  %_probevar\r\n"
                               L"  keystroke hook\r\n";
    EXPECT_EQ(run.out, L"Kelvane v0.99.1 loaded.\r\n"
                       L"probe: started\r\n"
                       L"probe: loaded: kelvane.dll Probe.dll zprobe.dll\r\n"
                       L"probe: started\r\n"
                       L"probe: loaded: kelvane.dll Probe.dll zprobe.dll\r\n"
                       L"Kelvane  (" + install.plugins + L"\\kelvane.dll)\r\n"
                       L"  command   kv\r\n"
                       L"  variable  %_trialrun\r\n"
                       L"  variable  %_kvruns\r\n"
                       L"  variable  %_kverrors\r\n"
                       L"  variable  %_kvavg\r\n"
                       L"  variable  %_kvmedian\r\n"
                       L"  variable  %_kvmin\r\n"
                       L"  variable  %_kvmax\r\n"
                       L"  variable  %_kvstddev\r\n"
                       L"  variable  %_kvtotal\r\n"
                       L"  variable  %_kvratio\r\n"
                       L"  variable  %_kvratiolow\r\n"
                       L"  variable  %_kvratiohigh\r\n"
                       L"  keystroke hook\r\n"
                       L"HostProbe  (" + install.plugins + L"\\Probe.dll)\r\n" + probe +
                       L"HostProbe  (" + install.plugins + L"\\zprobe.dll)\r\n" + probe +
                       L"probe: shut down (0)\r\n"
                       L"probe: shut down (1)\r\n");
    // One message for each refused DLL, in name order, and nothing about the
    // kelvane.dll that is not beside kvhost.exe: the folder gave plug-ins.
    size_t broken = run.err.find(L"kvhost: Cannot load plug-in \"" + install.plugins + L"\\broken.dll\": ");
    size_t helper = run.err.find(L"kvhost: \"" + install.plugins + L"\\helper.dll\" is not a plug-in");
    EXPECT_NE(broken, std::wstring::npos) << run.err;
    EXPECT_NE(helper, std::wstring::npos) << run.err;
    EXPECT_LT(broken, helper) << run.err;
    size_t messages = 0;
    for (size_t at = run.err.find(L"kvhost: "); at != std::wstring::npos; at = run.err.find(L"kvhost: ", at + 1))
        ++messages;
    EXPECT_EQ(messages, 2u) << run.err;

    HostRun bare = RunKvHostIn(install.dir, L"--no-plugin list.btm");
    EXPECT_EQ(bare.out, L"No plug-ins loaded.\r\n");
    EXPECT_EQ(bare.err, L"");
}

TEST(KvHostPluginsFolder, SaysSoWhenNeitherTheFolderNorKelvaneBesideItGivesAPlugIn) {
    Installation install;
    HostRun run = RunKvHostIn(install.dir, L"/c exitcode 4");
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_EQ(run.err, L"kvhost: " + install.dir + L"\\kelvane.dll not found and no plug-in in " + install.plugins +
                           L"; running without them\r\n");
}

}  // namespace
