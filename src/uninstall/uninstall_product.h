// Removing one product with the Windows Installer's command-line tool.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Runs "<system directory>\msiexec.exe /x <code> /qn /norestart OPEN_URL="0""
// hidden, waits for it, and completes the caller's progress line with the
// outcome. True when the tool ended with 0 or 3010; on 3010 writes 1 through
// `restartRequired` (when not null), which is otherwise left as it is. When
// the system directory cannot be read or does not fit MAX_PATH, the launch
// fails like a refused one.
bool UninstallProduct(const std::wstring& productCode, const std::wstring& productName,
                      std::int32_t* restartRequired);

} // namespace vx
