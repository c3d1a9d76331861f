// Calls each exported class through its installed header, by its name in the
// namespace qza and by its former global name.
#include <qza_wdir/CDosFile.h>
#include <qza_wdir/CFileStat.h>
#include <qza_wdir/CProcess.h>
#include <qza_wdir/CUserProfile.h>
#include <qza_wdir/MonthlyLog.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  CUserProfile profile((dir + "/app.ini").c_str(), 1);
  if (!profile.WriteProfileStringA("App", "Key", "value")) return 3;
  char value[16];
  profile.ReadProfileString("App", "Key", "", sizeof value, value);
  if (std::strcmp(value, "value") != 0) return 4;

  qza::CDosFile file((dir + "/app.txt").c_str());
  if (!file.Create(17) || !file.Write("line\r\n", 6) || !file.Close()) return 5;
  CFileStat status((dir + "/app.txt").c_str());
  if (!status.Exists() || status.FileSize() != 6) return 6;

#ifdef _WIN32
  CProcess process("cmd.exe /c exit 0");
#else
  CProcess process("/bin/true");
#endif
  if (!process.Run(0, 1)) return 7;
  while (process.IsRunning()) {
  }
  if (process.ExitCode() != 0) return 8;

  std::tm now{};
  now.tm_year = 126;
  now.tm_mon = 11;
  qza::AppendMonthlyLog("%s.\\app_%02d%02d.log", dir.c_str(), now, "logged\r\n");
  qza::CFileStat log((dir + "/app_2612.log").c_str());
  if (!log.Exists()) return 9;
  std::puts("installed library works");
  return 0;
}
