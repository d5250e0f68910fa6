#include "inprocess/sim_world.h"

#include "sim/pcsc/pcsc_double.h"

namespace zorad::bench {
namespace {

constexpr const char* kReaderName = "Bench Reader";

}  // namespace

sim::CardPersonalisation BenchPersonalisation() {
  sim::CardPersonalisation p;
  p.publicArea = {251 * 64, 0, 251, 64};
  return p;
}

CK_FUNCTION_LIST* LinkedModule() {
  CK_FUNCTION_LIST* functions = nullptr;
  Check(C_GetFunctionList(&functions), "C_GetFunctionList");
  return functions;
}

void FinalizeLinkedModule() {
  for (int i = 0; i < 16 && C_Finalize(nullptr) == CKR_OK; ++i) {
  }
}

SimWorld::SimWorld(const sim::CardPersonalisation& personalisation)
    : personalisation_(personalisation),
      card_(std::make_shared<sim::SimulatedCard>(personalisation)),
      client_(LinkedModule()) {
  FinalizeLinkedModule();
  sim::pcsc::Reset();
  if (!sim::pcsc::AddReader(kReaderName) || !sim::pcsc::InsertCard(kReaderName, card_)) {
    throw BenchError("the PC/SC double refused the simulated reader");
  }
}

SimWorld::~SimWorld() {
  FinalizeLinkedModule();
  sim::pcsc::Reset();
}

}  // namespace zorad::bench
