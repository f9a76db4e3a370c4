// The walk of the rows of the memberOf search behind the cross-check of a
// group's member list on Windows (directory_adsi.cpp), through a small table
// of the calls it makes, so that a test can play any ending of the rows an
// ADSI provider may give. Free of windows.h: codes are HRESULTs and Win32 error
// codes held in fixed-size integers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr int32_t kAdsNoMoreRows = 0x00005012;  // S_ADS_NOMORE_ROWS
constexpr uint32_t kAdsMoreData = 234;          // ERROR_MORE_DATA: the next page has not arrived yet
// E_NOTIMPL from ADsGetLastError: the system has no record of ADSI errors at
// all (Wine's ADsGetLastError is a stub that always answers it; Windows
// keeps one for every thread).
constexpr int32_t kAdsNoErrorRecord = static_cast<int32_t>(0x80004001);

// How many ends of the rows in a row, each with ERROR_MORE_DATA, are asked
// again before the search counts as failed. Each such end is ADSI saying
// that a page is still on its way; 30 of them with no row in between is a
// page that does not come, as the search's 30-second time-out stands for an
// answer that does not come. A row that arrives starts the count anew.
constexpr uint32_t kMaxMoreDataRetries = 30;

// The calls of one running search. REQUIRES: every entry set; `context` is
// handed to nextRow and rowName unchanged.
struct SearchRows {
  void* context = nullptr;
  // IDirectorySearch::GetNextRow: S_OK for a row, kAdsNoMoreRows at an end
  // of the rows, negative on failure.
  int32_t (*nextRow)(void* context) = nullptr;
  // The current row's distinguished name; empty when it cannot be read.
  std::u16string (*rowName)(void* context) = nullptr;
  // ADsSetLastError(ERROR_SUCCESS, ...), and ADsGetLastError on the calling
  // thread: its HRESULT, and in `error` the recorded code (0 when none is
  // recorded; meaningful only when the HRESULT is a success).
  void (*clearLastError)() = nullptr;
  int32_t (*lastError)(uint32_t* error) = nullptr;
};

// Walks the rows to their end and appends the name of each row to `found`,
// in the order of the rows. Succeeds only for a complete answer: a row that
// cannot be named, a failed GetNextRow, an end of the rows with any recorded
// error, an end whose error cannot be read (ADsGetLastError failing with
// anything but kAdsNoErrorRecord), or more than kMaxMoreDataRetries ends in
// a row waiting for a page each fail the walk, and `found` is then left as
// it was. Where the system keeps no error record at all
// (kAdsNoErrorRecord), an end of the rows is taken as GetNextRow gives it.
int32_t collectMemberOfRows(const SearchRows& rows, std::vector<std::u16string>* found);

}  // namespace platform
