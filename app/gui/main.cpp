// The wizard window: install the Qt dialogs, show TfrmMain, run until it closes.
// Arguments: a folder or files to start with (a file manager's "Open with").
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Main.h"
#include "Pictures.h"
#include "ProductInfo.h"
#include "QtUiServices.h"

namespace {

const char* const Usage =
    "Usage: varnowe [FOLDER | FILE...]\n"
    "Opens the conversion wizard. With a folder, its Source page starts there; with\n"
    "files, at their folder with only those files ticked in the file list.\n"
    "The same job without a window: varnowe-batch (see varnowe-batch --help).\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n";

bool PathExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

int NoSuchPath(const std::string& path) {
  std::fprintf(stderr, "varnowe: %s: no such file or folder\n", path.c_str());
  return 2;
}

// The toolkit's own options that take the next argument as their value.
bool TakesValue(std::string option) {
  if (option.rfind("--", 0) == 0) option.erase(0, 1);
  static const char* const withValue[] = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                          "-qwindowgeometry", "-qwindowtitle", "-qwindowicon", "-display",
                                          "-style", "-stylesheet", "-session", "-geometry", "-title", "-name"};
  for (const char* o : withValue)
    if (option == o) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before the toolkit starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "-V") == 0 || std::strcmp(argv[i], "--version") == 0) {
      std::printf("varnowe %s\n", VARNOWE_VERSION);
      return 0;
    }
  }
  // Paths are checked before the toolkit starts too: without a display it
  // would end the program before the message.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      for (++i; i < argc; ++i)
        if (!PathExists(argv[i])) return NoSuchPath(argv[i]);
      break;
    }
    if (!a.empty() && a[0] == '-') {
      if (TakesValue(a)) ++i;
    } else if (!PathExists(a)) {
      return NoSuchPath(a);
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ProductName));
  QApplication::setWindowIcon(ApplicationIcon());

  // What the toolkit left of the arguments: paths, each of which must exist.
  std::vector<std::string> paths;
  bool options = true;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const std::string a = args[i].toStdString();
    if (options && a == "--") {
      options = false;
    } else if (options && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "varnowe: unknown option '%s'\nTry 'varnowe --help' for more information.\n", a.c_str());
      return 2;
    } else {
      if (!PathExists(a)) return NoSuchPath(a);
      paths.push_back(a);
    }
  }

  TQtUiServices ui;
  SetUiServices(&ui);
  int result = 0;
  {
    TfrmMain window;
    ui.SetParent(&window);
    if (!paths.empty()) window.OpenWith(paths);
    window.show();
    result = QApplication::exec();
  }
  SetUiServices(nullptr);
  return result;
}
