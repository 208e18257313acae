#include "CrashSimulatingBlockStore.h"

#include <algorithm>

namespace dorvex::test {

namespace {

void apply(std::vector<unsigned char>& bytes, const CrashRecorder::Op& op, bool torn = false)
{
    if (op.kind == CrashRecorder::Op::Resize) {
        bytes.resize(static_cast<std::size_t>(op.newSize));
        return;
    }
    if (op.kind != CrashRecorder::Op::Write)
        return;
    const std::size_t length = torn ? op.data.size() / 2 : op.data.size();
    const auto end = static_cast<std::size_t>(op.offset) + length;
    if (bytes.size() < end)
        bytes.resize(end);
    std::copy_n(op.data.begin(), length, bytes.begin() + op.offset);
}

}  // namespace

int CrashRecorder::forEachCrashImage(const std::function<void(const std::vector<unsigned char>&)>& visit) const
{
    return forEachCrashImage([&visit](const std::vector<unsigned char>& bytes, std::size_t) { visit(bytes); });
}

int CrashRecorder::forEachCrashImage(
    const std::function<void(const std::vector<unsigned char>&, std::size_t point)>& visit) const
{
    int visited = 0;
    std::vector<unsigned char> durable = initial_.bytes;
    std::vector<std::size_t> pending;  // changes since the last flush
    for (std::size_t point = 0; point <= ops_.size(); ++point) {
        const auto withPending = [&](const std::vector<bool>& keep) {
            std::vector<unsigned char> image = durable;
            for (std::size_t i = 0; i < pending.size(); ++i)
                if (keep[i])
                    apply(image, ops_[pending[i]]);
            return image;
        };
        if (pending.size() <= 3) {
            for (unsigned mask = 0; mask < (1u << pending.size()); ++mask) {
                std::vector<bool> keep(pending.size());
                for (std::size_t i = 0; i < pending.size(); ++i)
                    keep[i] = (mask >> i) & 1u;
                visit(withPending(keep), point);
                ++visited;
            }
        } else {
            visit(withPending(std::vector<bool>(pending.size(), false)), point);
            visit(withPending(std::vector<bool>(pending.size(), true)), point);
            visited += 2;
        }
        if (point < ops_.size() && ops_[point].kind == Op::Write) {
            std::vector<unsigned char> torn = withPending(std::vector<bool>(pending.size(), true));
            apply(torn, ops_[point], true);
            visit(torn, point);
            ++visited;
        }
        if (point == ops_.size())
            break;
        if (ops_[point].kind == Op::Flush) {
            for (std::size_t i : pending)
                apply(durable, ops_[i]);
            pending.clear();
        } else {
            pending.push_back(point);
        }
    }
    return visited;
}

CrashSimulatingBlockStore::CrashSimulatingBlockStore(std::shared_ptr<MemoryImage> image,
                                                     std::shared_ptr<CrashRecorder> recorder)
    : inner_(std::move(image)), recorder_(std::move(recorder))
{
}

bool CrashSimulatingBlockStore::resize(qint64 newSize)
{
    if (!inner_.resize(newSize))
        return false;
    CrashRecorder::Op op;
    op.kind = CrashRecorder::Op::Resize;
    op.newSize = newSize;
    recorder_->record(std::move(op));
    return true;
}

bool CrashSimulatingBlockStore::writeAt(qint64 offset, const unsigned char* buffer, qint64 length)
{
    if (!inner_.writeAt(offset, buffer, length))
        return false;
    CrashRecorder::Op op;
    op.kind = CrashRecorder::Op::Write;
    op.offset = offset;
    op.data.assign(buffer, buffer + length);
    recorder_->record(std::move(op));
    return true;
}

bool CrashSimulatingBlockStore::flush()
{
    if (!inner_.flush())
        return false;
    CrashRecorder::Op op;
    op.kind = CrashRecorder::Op::Flush;
    recorder_->record(std::move(op));
    return true;
}

}  // namespace dorvex::test
