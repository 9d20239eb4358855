// Standard input as a pipe gives it, for tests of readers: the bytes are read once,
// with no position and no seeking.
#pragma once

#include <streambuf>
#include <string>
#include <utility>

namespace testpipe {

class TPipeBuf : public std::streambuf {
public:
    explicit TPipeBuf(std::string Bytes) : FBytes(std::move(Bytes)) {
        setg(FBytes.data(), FBytes.data(), FBytes.data() + FBytes.size());
    }

private:
    std::string FBytes;
};

}  // namespace testpipe
