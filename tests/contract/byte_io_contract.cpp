// Byte writes and reads on files and pipes through the NT calls, as the
// console writer and reader make them.
#include <string>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using ByteIo = Contract;

constexpr NtStatus STATUS_PIPE_CLOSING = static_cast<NtStatus>(0xC00000B1u);
constexpr Dword ERROR_HANDLE_EOF = 38;

struct Read {
  NtStatus status = 0;
  IoStatusBlock block{-1, 0};
  std::string bytes;
};

Read ReadSome(System& os, Handle h, Dword length) {
  Read r;
  std::string room(length, '\0');
  r.status = os.NtReadFile(h, &r.block, room.data(), length);
  if (r.status == STATUS_SUCCESS) r.bytes = room.substr(0, r.block.Information);
  return r;
}

TEST_F(ByteIo, AFileReadsToItsEndAndThenAnswersEndOfFile) {
  world().MakeFile(u"data.bin", "hello");
  const Handle file = world().OpenForReading(u"data.bin");
  Read first = ReadSome(os(), file, 3);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.block.Status, STATUS_SUCCESS);
  EXPECT_EQ(first.bytes, "hel");
  Read rest = ReadSome(os(), file, 10);
  EXPECT_EQ(rest.status, STATUS_SUCCESS);
  EXPECT_EQ(rest.bytes, "lo");
  Read end = ReadSome(os(), file, 10);
  EXPECT_EQ(end.status, STATUS_END_OF_FILE);
  EXPECT_EQ(os().RtlNtStatusToDosError(end.status), ERROR_HANDLE_EOF);
  EXPECT_TRUE(os().CloseHandle(file));
}

TEST_F(ByteIo, APipeWhoseWriterClosedIsBrokenAfterItsData) {
  const PipeEnds pipe = world().MakePipe();
  IoStatusBlock block{-1, 0};
  EXPECT_EQ(os().NtWriteFile(pipe.write, &block, "abc", 3), STATUS_SUCCESS);
  EXPECT_EQ(block.Status, STATUS_SUCCESS);
  EXPECT_EQ(block.Information, 3u);
  EXPECT_TRUE(os().CloseHandle(pipe.write));
  Read data = ReadSome(os(), pipe.read, 10);
  EXPECT_EQ(data.status, STATUS_SUCCESS);
  EXPECT_EQ(data.bytes, "abc");
  Read end = ReadSome(os(), pipe.read, 10);
  EXPECT_EQ(end.status, STATUS_PIPE_BROKEN);
  EXPECT_EQ(os().RtlNtStatusToDosError(end.status), ERROR_BROKEN_PIPE);
  EXPECT_TRUE(os().CloseHandle(pipe.read));
}

// A write to a pipe nobody reads any more: ERROR_NO_DATA, "the pipe is
// being closed".
TEST_F(ByteIo, APipeWhoseReaderClosedRefusesWrites) {
  const PipeEnds pipe = world().MakePipe();
  EXPECT_TRUE(os().CloseHandle(pipe.read));
  IoStatusBlock block{-1, 0};
  const NtStatus status = os().NtWriteFile(pipe.write, &block, "abc", 3);
  EXPECT_EQ(status, STATUS_PIPE_CLOSING);
  EXPECT_EQ(os().RtlNtStatusToDosError(status), ERROR_NO_DATA);
  EXPECT_TRUE(os().CloseHandle(pipe.write));
}

// On an overlapped pipe a write larger than the pipe holds stays pending
// until the reader takes enough; a wait with a time limit before that times
// out, and the status block tells the bytes taken once it is done.
TEST_F(ByteIo, APendingWriteCompletesWhenTheReaderDrainsIt) {
  const PipeEnds pipe = world().MakeOverlappedPipe(4096);
  const std::string data(3 * 4096, 'x');
  IoStatusBlock block{-1, 0};
  const NtStatus status = os().NtWriteFile(pipe.write, &block, data.data(), static_cast<Dword>(data.size()));
  ASSERT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(os().WaitForSingleObject(pipe.write, 20), WAIT_TIMEOUT);
  EXPECT_EQ(world().Drain(pipe.read, data.size()), data);
  EXPECT_EQ(os().WaitForSingleObject(pipe.write, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(block.Status, STATUS_SUCCESS);
  EXPECT_EQ(block.Information, data.size());
  EXPECT_TRUE(os().CloseHandle(pipe.write));
  EXPECT_TRUE(os().CloseHandle(pipe.read));
}

TEST_F(ByteIo, ASmallWriteToAnOverlappedPipeCompletesAtOnce) {
  const PipeEnds pipe = world().MakeOverlappedPipe(4096);
  IoStatusBlock block{-1, 0};
  EXPECT_EQ(os().NtWriteFile(pipe.write, &block, "abc", 3), STATUS_SUCCESS);
  EXPECT_EQ(block.Information, 3u);
  EXPECT_EQ(world().Drain(pipe.read, 3), "abc");
  EXPECT_TRUE(os().CloseHandle(pipe.write));
  EXPECT_TRUE(os().CloseHandle(pipe.read));
}

struct StatusCase {
  std::uint32_t status;
  Dword error;
};

// The statuses the byte calls answer and the errors the program shows for
// them; a status without a mapping is ERROR_MR_MID_NOT_FOUND.
const StatusCase kStatuses[] = {
    {0xC0000008u, ERROR_INVALID_HANDLE},    // STATUS_INVALID_HANDLE
    {0xC000014Bu, ERROR_BROKEN_PIPE},       // STATUS_PIPE_BROKEN
    {0xC00000B1u, ERROR_NO_DATA},           // STATUS_PIPE_CLOSING
    {0xC0000011u, ERROR_HANDLE_EOF},        // STATUS_END_OF_FILE
    {0xC0000022u, ERROR_ACCESS_DENIED},     // STATUS_ACCESS_DENIED
    {0xC000007Fu, 112},                     // STATUS_DISK_FULL: ERROR_DISK_FULL
    {0xC0FFFFFEu, ERROR_MR_MID_NOT_FOUND},  // no such status
};

TEST_F(ByteIo, StatusesMapToTheirErrors) {
  for (const StatusCase& c : kStatuses) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(os().RtlNtStatusToDosError(static_cast<NtStatus>(c.status)), c.error);
  }
}

}  // namespace
}  // namespace wr::contract
