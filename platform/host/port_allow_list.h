#pragma once
// Ports a miniport touches without claiming them, on purpose. Everything else
// outside its claimed ranges belongs to some other driver, and an access there
// is recorded.
//
// - 0x3E0/0x3E1, the socket controller's index and data ports: the controller
//   is shared by every socket of the machine, so no one adapter claims it, yet
//   the adapter sets up its own socket through it and clears the card-status
//   changes that share its interrupt.
// - The eight ports of each of the four standard COM addresses, where the
//   card's serial function may answer: it is left to a serial driver to claim,
//   but the bring-up quiets it first so its interrupt cannot disturb the shared
//   card. Not narrowed to the configured port: on a Micro Channel machine the
//   address comes from the POS data rather than the "ComPort" keyword, and the
//   adapter record, not the registry, says which one the bring-up uses.

namespace host {

bool on_allow_list(unsigned port);

}  // namespace host
