#pragma once
// The application: starts the services the toolkit needs on the user-interface thread, runs
// the main window until it closes, and shuts them down again. Nothing is kept between runs.

#include <QApplication>

namespace velmora::app {

inline constexpr char kVersion[] = "1.6.0.7";

class CDeckApp {
  public:
    CDeckApp(int& argc, char** argv);
    ~CDeckApp();
    CDeckApp(const CDeckApp&) = delete;
    CDeckApp& operator=(const CDeckApp&) = delete;

    // Runs the main window; answers the process's exit status.
    int Run();

  private:
    QApplication application_;
};

}  // namespace velmora::app
