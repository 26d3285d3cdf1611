// Metric lines from the message bus.
//
// With <listeners><metrics_bus exchange="vask.metrics"/></listeners>, every delivery the bus
// module receives from that exchange (on a queue consumed under //network/mq and bound to it) is
// split at newlines and each line is handed to the metric director. Deliveries are matched by
// the exchange they were published to (not by the queue): deliveries of other exchanges are
// left to other hooks (IGNORED), and the bus module counts those no hook takes.
//
// A delivery is acknowledged only after every one of its lines was handed over. Full lanes slow
// the bus down instead of dropping, but never hold the bus connection's thread past a short
// deadline per delivery (500 ms, well below any heartbeat): a delivery not handed over by then
// is HELD and finished by a hand-over thread, which acknowledges it afterwards; later deliveries
// queue behind it, so lines keep their order. Statistics ("vask"/"intake_bus"/<exchange>):
// deliveries, lines, bytes, held.
#pragma once

// Registers the bus hook for each configured exchange. Call after the bus module is configured
// (tovi_dso_init) and after vask_intake_init. Returns the number of exchanges hooked, or -1 when
// an element has no exchange (logged, naming the key).
int vask_intake_bus_init(void);
