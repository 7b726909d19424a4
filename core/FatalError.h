#pragma once
// The fatal-error report: for errors the program cannot recover from.
//
// reportFatalError writes the caption "FATAL ERROR" and the composed text to standard error,
// shows it in a dialog when a dialog hook is installed (the window framework installs one when
// it has a display) and then throws FatalError. Every layer may call it; nothing here ends the
// process: the programs do, with abort(), when a FatalError reaches them (app/ProgramEnd.h).

#include <string>
#include <utility>

namespace ostrel {

/// Source-file names passed by the application core and by the solver.
inline constexpr const char* kAppSourceFile = "Quenby";
inline constexpr const char* kSolverSourceFile = "cudafem";

/// "A fatal error has occured\n" message "\nSource file \"" file "\", line " line
/// "\nThe program will terminate".
std::wstring composeFatalErrorText(const char* sourceFile, int line, const std::wstring& message);

/// message "\nCUDA Driver API Error: " code " (" name ")".
std::wstring composeDriverErrorMessage(const std::wstring& message, int code);

/// The CUDA driver API's symbolic name of a result code ("CUDA_ERROR_OUT_OF_MEMORY" for 2).
/// A code outside the known table is named by the loaded driver (see setDriverResultNamer);
/// without a driver, or when the driver does not know it either, the name is empty.
const char* driverResultName(int code);

/// Names of result codes the table lacks (newer drivers define more); returns null for an
/// unknown code. The CUDA driver layer installs one while the driver is loaded.
using DriverResultNamer = const char* (*)(int code);
/// Installs (or, with nullptr, removes) the namer.
void setDriverResultNamer(DriverResultNamer namer);

/// A fatal error, reported (on standard error and in the dialog) when it was thrown. It derives
/// from no standard exception, so that handlers of ordinary errors let it pass to the program.
class FatalError {
public:
    explicit FatalError(std::wstring text) : text_(std::move(text)) {}
    /// The composed text (composeFatalErrorText).
    const std::wstring& text() const { return text_; }

private:
    std::wstring text_;
};

/// Shows the report (when `show` is set) and throws FatalError with its text. Never returns.
[[noreturn]] void reportFatalError(const char* sourceFile, int line, const std::wstring& message,
                                   bool show = true);

/// Does nothing for code 0; otherwise reports composeDriverErrorMessage(message, code).
void reportDriverError(const char* sourceFile, int line, int code, const std::wstring& message,
                       bool show = true);

/// A dialog that shows the caption and text of a fatal report before FatalError is thrown.
using FatalErrorDialog = void (*)(const std::wstring& caption, const std::wstring& text);
/// Installs (or, with nullptr, removes) the dialog. The window framework owns this hook.
void setFatalErrorDialog(FatalErrorDialog dialog);

}  // namespace ostrel
