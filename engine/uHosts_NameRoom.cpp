// uHosts: the room for the names the merge pass moves.
#include "uHosts_NameRoom.h"

#include "uHosts_LineSlabs.h"
#include "uHosts_TextArena.h"

size_t TNameRoom::RoomBytes() {
  return THostItem::TNameArray::Bytes(Names);
}

TNameRoom::TNameRoom(TTextArena& arena, TLineSlabs& slabs)
    : FArena(arena), FSlabs(slabs), FRoomBytes(RoomBytes()) {}

TNameRoom::~TNameRoom() {
  FSlabs.StopHoldingEmpty();
}

void TNameRoom::Reserve(size_t count) {
  assert(!FCommitted && FLeft == 0);
  if (count == 0)
    return;
  FBlock = TLargeBuffer(BytesFor(count, FRoomBytes));
  PoisonMemory(FBlock.Data(), FBlock.Capacity());
  FLeft = count;
}

void TNameRoom::Commit() {
  assert(!FCommitted);
  FCommitted = true;
  if (FLeft == 0)
    return;
  // The slabs the walk empties give room for names before the block does: their pages are in
  // memory already, where the block's would be fresh ones for the system to clear.
  FArena.ReserveBlocks(FSlabs.HoldEmpty() + 1);
  FNext = FArena.Take(std::move(FBlock));
}

void TNameRoom::Give(THostItem& line) {
  assert(FCommitted && FLeft > 0 && "the plan counted every line that receives names");
  if (FLeft == 0) { // a safe way out, should the count ever fall short
    THostItem::TNames::Reserve(line, Names);
    return;
  }
  if (static_cast<size_t>(FEmptyEnd - FEmptyNext) < FRoomBytes) {
    if (TLargeBuffer slab = FSlabs.TakeEmpty(); slab.Data()) {
      FEmptyEnd = slab.Data() + slab.Capacity();
      FEmptyNext = FArena.Take(std::move(slab)); // within the room Commit reserved
    }
  }
  char*& room = static_cast<size_t>(FEmptyEnd - FEmptyNext) >= FRoomBytes ? FEmptyNext : FNext;
  UnpoisonMemory(room, FRoomBytes);
  THostItem::TNames::ReserveAt(line, room, Names);
  room += FRoomBytes;
  --FLeft;
}
