#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "quillon/engine/load_diagnostics.h"

namespace quillon::testing {

/// Keeps every diagnostic a parse reports.
struct CollectedDiagnostics : LoadDiagnostics {
    std::vector<LoadDiagnostic> list;

    void report(LoadDiagnostic diagnostic) override { list.push_back(std::move(diagnostic)); }

    /// True when some error that refuses the load names the file and a place in it.
    bool hasLocatedRefusal(const std::string& file) const {
        return std::any_of(list.begin(), list.end(), [&](const LoadDiagnostic& d) {
            return d.kind == DiagnosticKind::Error && d.refusesLoad && d.file == file && d.line >= 1 && d.column >= 1;
        });
    }
};

}  // namespace quillon::testing
