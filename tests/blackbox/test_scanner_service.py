"""Scanner manager, sessions and the scanner API's dispatch and reply conventions."""

import time
import unittest

import harness
from harness import AgentTestCase, Page, get, init_devices, virtual_scanner

JSON_ENVELOPE = (b"HTTP/1.1 200 OK \r\nContent-Type: Application/json \r\n"
                 b"Vary: Origin\r\nX-Content-Type-Options: nosniff\r\n\r\n")


class DeviceInitialisation(AgentTestCase):
    agent_env = {"WEBAGENT_VIRTUAL_SCANNERS": "2"}

    def test_init_lists_keeps_and_renews_handles(self):
        page = Page()
        reply = page.api("initDevice")
        self.assertTrue(reply.raw.startswith(JSON_ENVELOPE))
        body = reply.json()
        self.assertEqual(body["ScannerCount"], 2)
        self.assertEqual(body["retValue"], "0")
        self.assertEqual(body["retString"], "Success")
        self.assertNotIn("request", body)
        infos = body["ScannerInfos"]
        self.assertEqual([i["DeviceIndex"] for i in infos], [0, 1])
        handles = [i["DeviceHandle"] for i in infos]
        self.assertEqual(len(set(handles)), 2)
        for info in infos:
            self.assertNotEqual(info["DeviceHandle"], 0)
            self.assertIn(info["DeviceType"], ("KQ10", "KQ20", "KQ21", "Tessaro Duo",
                                               "Tessaro Flat"))
            self.assertTrue(info["ScannerName"])
        # Handles are 64-bit numbers, sent as JSON integers and accepted back in decimal.
        self.assertEqual(page.api("version", handles[1]).json(),
                         {"API": "0.1", "request": "version"})

        self.assertEqual(init_devices(page), handles)  # already initialised: same handles

        # A device plugged now is listed and usable at once; the others keep their handles.
        virtual_scanner(self.agent, "plug", "--type", "999")  # a type the agent does not know
        body = page.api("initDevice").json()
        self.assertEqual(body["ScannerCount"], 3)
        plugged = body["ScannerInfos"][2]
        self.assertEqual(plugged["DeviceType"], "Error")
        self.assertEqual([i["DeviceHandle"] for i in body["ScannerInfos"][:2]], handles)
        page.api("noSuchOperation")
        version = page.api("version", plugged["DeviceHandle"]).json()
        self.assertEqual(version, {"API": "0.1", "request": "version"})

        uninit = page.api("uninitDevice").json()
        self.assertEqual(uninit["retValue"], "0")
        self.assertEqual(uninit["retString"], "Success")
        self.assertEqual(uninit["sessionId"], "0")
        self.assertNotIn("API", page.api("version", handles[0]).json())

        renewed = init_devices(page)
        self.assertEqual(len(renewed), 3)
        self.assertFalse(set(renewed) & set(handles + [plugged["DeviceHandle"]]))
        self.assertEqual(page.api("version", renewed[2]).json()["API"], "0.1")
        virtual_scanner(self.agent, "unplug", "2")


class NoDevice(AgentTestCase):
    agent_env = {"WEBAGENT_VIRTUAL_SCANNERS": "0"}

    def test_init_with_no_scanner_has_an_empty_body(self):
        reply = Page().api("initDevice")
        self.assertEqual(reply.raw, JSON_ENVELOPE)


class DispatchAndReplies(AgentTestCase):

    def test_reply_conventions(self):
        page = Page()
        # Before initDevice nothing runs: no scanner has that handle.
        self.assertEqual(page.api("version", 5).json(),
                         {"request": "version", "retString": "Invalid device handle",
                          "retValue": "-102", "sessionId": "0"})

        handle = init_devices(page)[0]
        for name in ("Version", "initdevice", "captureSingleX", ""):
            reply = page.api(name, handle).json()
            self.assertEqual(reply, {"retString": "Unsupported API", "retValue": -111}, name)

        # Unknown handles answer for themselves, never with an earlier reply.
        self.assertEqual(page.api("uninitDevice").json()["retValue"], "0")
        handle = init_devices(page)[0]
        page.api("uninitDevice")
        unknown = page.api("getParameters", 12345).json()
        self.assertEqual(unknown, {"request": "getParameters", "retString": "Invalid device handle",
                                   "retValue": "-102", "sessionId": "0"})
        handle = init_devices(page)[0]

        self.assertEqual(page.api("version", handle).json(), {"API": "0.1", "request": "version"})
        self.assertEqual(page.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        no_handle = page.api("version").json()
        self.assertNotIn("API", no_handle)
        self.assertEqual(no_handle["sessionId"], "0")
        for bad in (0, "abc"):
            self.assertNotIn("API", page.api("version", bad).json())

    def test_session_failures_are_integer_112(self):
        page = Page(page_id="owner", cookie="owner-cookie")
        page.api("uninitDevice")
        handle = init_devices(page)[0]  # a fresh handle nobody is bound to
        self.assertEqual(page.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        other = Page(page_id="other", cookie=page.cookie + "-other")
        reply = other.api("captureSingle", handle).json()
        # Beside the unchanged reason: who holds the scanner and until when.
        self.assertEqual(sorted(reply), ["detail", "heldUntil", "request", "retString",
                                         "retValue"])
        del reply["detail"], reply["heldUntil"]
        self.assertEqual(reply, {"request": "captureSingle", "retValue": -112,
                                 "retString": "invalid session cookie"})
        # Refused before the handle is looked at: an unbound handle binds to the other page.
        self.assertEqual(other.api("captureSingle", 999).json()["sessionId"], "0")
        no_cookie = page.call("api", "captureSingle", handle, cookie=False).json()
        self.assertIn("X-Session-Id", no_cookie.pop("detail"))
        self.assertEqual(no_cookie, {"request": "captureSingle", "retValue": -112,
                                     "retString": "No session cookie is passed"})
        wrong_page = Page(page_id="elsewhere", cookie=page.cookie)
        self.assertEqual(wrong_page.api("isFingerOn", handle).json()["retString"],
                         "invalid page ID")
        undefined = Page(page_id="undefined", cookie=page.cookie)
        self.assertEqual(undefined.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        # Operations without a session run for anybody.
        self.assertEqual(other.api("version", handle).json()["API"], "0.1")
        # A good session with an unknown handle: nothing runs.
        unknown = page.api("isFingerOn", 777).json()
        self.assertEqual(unknown["sessionId"], "0")
        self.assertEqual(unknown["retValue"], "-102")

        # Clearing the owner's sessions (with the owner's cookie) frees the handle for the other
        # page.
        self.assertEqual(get("/api/sessionClear?id=owner", cookie=page.cookie).raw, b"")
        self.assertEqual(other.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        self.assertEqual(page.api("isFingerOn", handle).json()["retString"],
                         "invalid session cookie")
        get("/api/sessionClear?id=other", cookie=other.cookie)

    def test_sessions_bind_each_handle_separately(self):
        page = Page(page_id="two")
        get("/api/sessionClear?id=two", cookie=page.cookie)
        # The page binds an empty handle too when it sends none.
        self.assertEqual(page.call("api", "isFingerOn").json()["sessionId"], "0")
        other = Page(page_id="x", cookie="c2")
        self.assertEqual(other.call("api", "isFingerOn").json()["retString"],
                         "invalid session cookie")
        get("/api/sessionClear?id=two", cookie=page.cookie)


class SessionExpiry(AgentTestCase):
    agent_env = {"WEBAGENT_SESSION_LIFETIME_MS": "1500"}

    def test_expiry_messages(self):
        owner = Page(page_id="a", cookie="cookie-a")
        handle = init_devices(owner)[0]
        self.assertEqual(owner.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        intruder = Page(page_id="b", cookie="cookie-b")
        self.assertEqual(intruder.api("isFingerOn", handle).json()["retString"],
                         "invalid session cookie")
        time.sleep(2.5)
        self.assertEqual(intruder.api("isFingerOn", handle).json()["retString"],
                         "invalid session(timeout-ed)")
        self.assertEqual(intruder.api("isFingerOn", handle).json(), {"request": "isFingerOn"})
        time.sleep(2.5)
        self.assertEqual(intruder.api("isFingerOn", handle).json()["retString"],
                         "session timeout")
        self.assertEqual(intruder.api("isFingerOn", handle).json(), {"request": "isFingerOn"})


class ReleaseCountdown(AgentTestCase):

    def test_captured_data_is_released_after_reset_timer(self):
        page = Page()
        handle = init_devices(page)[0]
        reply = page.api("captureSingle", handle, resetTimer=5000).json()
        self.assertEqual(reply["retValue"], "0", reply)
        self.assertTrue(page.image("CaptureImg.bmp", handle).body.startswith(b"BM"))
        time.sleep(3.0)
        # A new capture request re-arms the countdown.
        self.assertEqual(page.api("abortCapture", handle).json()["request"], "abortCapture")
        time.sleep(3.0)
        self.assertTrue(page.image("CaptureImg.bmp", handle).body.startswith(b"BM"))
        time.sleep(3.5)
        released = page.image("CaptureImg.bmp", handle)
        self.assertEqual(released.headers.get("content-type"), "image/gif")
        self.assertEqual(len(released.body), 34)


if __name__ == "__main__":
    unittest.main()
