// Metric lines from the message bus.
//
// With <listeners><metrics_bus exchange="vask.metrics"/></listeners>, every delivery the bus
// module receives from that exchange (on a queue consumed under //network/mq and bound to it) is
// split at newlines and each line is handed to the metric director. A delivery is acknowledged
// only after every one of its lines was handed over: the hook runs on the bus connection's
// thread, which is not a loop thread, so the director's blocking submit slows it down when lanes
// are full instead of dropping. Statistics ("vask"/"intake_bus"): deliveries, lines, bytes.
#pragma once

// Registers the bus hook for each configured exchange. Call after the bus module is configured
// (tovi_dso_init) and after vask_intake_init. Returns the number of exchanges hooked, or -1 when
// an element has no exchange (logged, naming the key).
int vask_intake_bus_init(void);
