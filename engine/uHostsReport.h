// uHostsReport: what the merge pass keeps, drops and changes in a document, read from the
// document itself and from the merge that the save uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VornLibMemory.h"
#include "uHosts.h"

// Line numbers, by the index of a line in its document.
using TLineNumbers = std::vector<uint32_t, TLargeBlockAllocator<uint32_t>>;

// What a load read and what of it the written file will not hold, line by line: follows the
// loads of one document (THosts::WatchLoad).
class THostsLoadSurvey {
public:
  static constexpr size_t ExampleCount = 3; // lines shown for each kind
  static constexpr size_t TextWidth = 60;   // characters of a line shown

  enum TKind : uint8_t { Invalid, Forbidden, Localhost, CommentOrBlank, KindCount };
  struct TExample {
    size_t Number = 0;
    std::string Text; // UTF-8, cut to TextWidth characters
  };
  struct TDropped {
    size_t Count = 0; // lines (Invalid, CommentOrBlank) or names (Forbidden, Localhost)
    std::vector<TExample> Examples;
  };

  // From now on every load of hosts is followed; the survey must outlive those loads.
  void Follow(THosts& hosts);

  size_t Lines = 0;
  std::array<TDropped, KindCount> Dropped;
  size_t CommentedEntries = 0; // commented-out entries the document kept
  // Entries whose address text the system reads as no address (or another): kept as they are,
  // apart from the merge.
  TDropped KeptApart;
  // The line number of every line the document kept, by its index in the document.
  TLineNumbers LineNumbers;

private:
  void Record(const THostsReadLine& read);
  void Note(TDropped& dropped, size_t count, const THostsReadLine& read);
};

// The names of a document's written entries (entries not commented out whose address text the
// resolver reads as the same address, names that are written), sorted by name as the resolver
// compares them: ASCII letters in either case are the same letter. A name listed again under an
// address it already has is a repeat. A name under more than one address resolves as glibc answers
// it with "multi off" (its default): the first line that lists it decides, among the lines the
// lookup reads. Asked for IPv4, glibc reads the IPv4 lines and, as IPv4, the IPv6 lines of mapped
// addresses (::ffff:a.b.c.d as a.b.c.d) and of the loopback (::1 as 127.0.0.1); asked for IPv6, the
// IPv6 lines; asked for either family (what most programs ask), every line. A name that is an
// address text itself (1.2.3.4, ::1) is never looked up in the file and is left out of those.
class THostsNameSurvey {
public:
  enum class TScope : uint8_t {
    Everything, // repeats and names under several addresses
    Moves,      // only what ChangedByMerge needs
  };

  // lineNumbers: the line number of every line of hosts (none: its index + 1).
  THostsNameSurvey(const THosts& hosts, TScope scope, const TLineNumbers* lineNumbers = nullptr);

  static constexpr size_t ExampleCount = THostsLoadSurvey::ExampleCount;

  // A name listed again under an address it already has.
  struct TRepeat {
    const THostName* Name; // valid while the document is unchanged
    uint32_t Line;
    uint32_t FirstLine; // where the name was first listed under that address
    uint32_t Address;
  };
  // The first line that lists a name under one of its addresses.
  struct TPlace {
    uint32_t Address;
    uint32_t Line;
    const void* Text; // the name's text, which stays where it is while the merge moves names
  };
  // A name under more than one address: its places in line order, Places[First, First + Count).
  struct TNamed {
    std::string Name; // UTF-8
    uint32_t First = 0;
    uint32_t Count = 0;
  };
  // A name under more than one address of one family, for the report.
  struct TSpread {
    uint32_t Named;
    bool IPv6 = false;
  };
  // What the resolver is asked for.
  enum class TLookup : uint8_t { IPv4, IPv6, Either };
  // A name that one lookup answered from one place and, after the merge, from another that gives
  // another answer. A lookup of either family is told only where the family of the answer changes
  // (else the lookup of that family tells the same).
  struct TMove {
    uint32_t Named;
    TLookup Lookup;
    uint32_t Before; // place indexes
    uint32_t After;
  };

  size_t Entries = 0;                   // written entry lines
  size_t Names = 0;                     // written names on them
  std::array<size_t, 2> Addresses{};    // distinct IPv4, IPv6 addresses of those lines
  std::vector<TRepeat> Repeats;         // in line order
  std::vector<std::string> RepeatNames; // of the first ExampleCount repeats, UTF-8
  std::vector<TNamed> Named;            // in the order of their first line
  std::vector<TSpread> Spreads;         // in the order of their first line
  std::vector<TPlace> Places;

  const THostsIP* Address(uint32_t id) const { return FAddressValues[id]; }

  // Removes every repeat from the document (the first listing of each name under each address
  // stays, in its place). Call it before the document changes otherwise; returns how many went.
  size_t RemoveRepeats(THosts& hosts) const;
  // Compares the answer of each lookup of each name under more than one address with its answer
  // in the merged document (the names that RemoveRepeats removed were never first); the answers
  // that changed, by name in the order of Named, then by lookup.
  std::vector<TMove> ChangedByMerge(const THosts& merged) const;

private:
  struct TBuilder;
  std::vector<const THostsIP*> FAddressValues; // by address id
};

// The merge as a run does it: with removeRepeats the repeats go first; with countMoves the
// result is how many names resolve to another address after the merge (else 0).
size_t MergeHosts(THosts& hosts, bool removeRepeats, bool countMoves);

// The report of tarnwk --check: the load's survey, the names before the merge and what the merge
// changed, and the size of the result.
struct THostsReportFigures {
  size_t BytesBefore = 0;
  size_t LinesAfter = 0;
  size_t BytesAfter = 0;
  size_t RepeatsRemoved = 0;
  size_t LoneCRs = 0; // read as blanks (THostsLoadInfo::LoneCRs)
  // Said first, one line each ("Warning: ...").
  std::vector<std::string> Warnings;
};
// The lines and bytes the save would write.
void MeasureSave(const THosts& hosts, SaveEncoding encoding, size_t& lines, size_t& bytes);
std::string FormatHostsReport(const THostsLoadSurvey& load, const THostsNameSurvey& names,
                              const std::vector<THostsNameSurvey::TMove>& moves,
                              const THostsReportFigures& figures);
