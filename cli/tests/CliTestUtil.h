// Running a garvel command in-process and capturing what it prints.
#pragma once

#include "Commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace garvel::cli {

using TArgs = std::vector<std::string>;

struct TRun {
  int Exit;
  std::string Out, Err;
};

inline TRun RunCommand(int (*Command)(const TArgs&), const TArgs& Args) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int e = Command(Args);
  std::string out = ::testing::internal::GetCapturedStdout();
  return {e, out, ::testing::internal::GetCapturedStderr()};
}

inline bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

} // namespace garvel::cli
