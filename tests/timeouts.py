"""Running a call that may hang so that a hang fails the test instead of blocking it."""
import threading


def in_thread(fn, timeout=20):
    """Runs ``fn`` in a daemon thread and returns its result or raises its error;
    fails the test when it has not finished within ``timeout`` seconds."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as error:  # handed to the test thread
            outcome["error"] = error

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), "the call hung"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")
