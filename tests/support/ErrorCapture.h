#pragma once
// Catches what reaches the platform's window dispatch, for the length of a test.

#include <exception>
#include <string>

#include "Messages.h"

class ErrorCapture {
public:
    ErrorCapture() {
        w32::SetApplicationExceptionHandler([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                text = x.what();
            } catch (...) {
                text = "unknown";
            }
        });
    }
    ~ErrorCapture() { w32::SetApplicationExceptionHandler(nullptr); }
    std::string text;  // the last error's message
};
