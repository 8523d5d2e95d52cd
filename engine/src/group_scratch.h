#pragma once

#include <cstddef>
#include <vector>

namespace quillon {

/// Scratch doubles for per-group work: on the stack for the usual few groups, on the heap beyond,
/// so the hot paths allocate nothing while any group count still works.
class GroupScratch {
public:
    explicit GroupScratch(std::size_t count) {
        if (count > inlineCount) {
            heap_.resize(count);
            data_ = heap_.data();
        }
    }
    GroupScratch(const GroupScratch&) = delete;
    GroupScratch& operator=(const GroupScratch&) = delete;

    double* data() { return data_; }
    double& operator[](std::size_t i) { return data_[i]; }

private:
    static constexpr std::size_t inlineCount = 32;
    double local_[inlineCount];
    std::vector<double> heap_;
    double* data_ = local_;
};

}  // namespace quillon
