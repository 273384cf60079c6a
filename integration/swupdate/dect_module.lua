-- SPDX-License-Identifier: MIT
-- SWUpdate handler for images of type "dect-module": streams the image to the
-- DECT module with cordix, then asks the module for its version and fails
-- unless it reports the version that sw-description declares for the image.
-- Every line cordix prints goes to SWUpdate's log. Loaded by one line in a
-- device's swupdate_handlers.lua:  require("cordix.dect_module")
local swupdate = require("swupdate")

local M = {
  -- Settings, all optional, NAME=value lines in sh syntax, the same as the
  -- Mender module's: CORDIX (the program, found on PATH, or a path),
  -- CONTROLLER (CAPI controller), TIMEOUT (seconds per wait, 0: no limit).
  config = os.getenv("DECT_MODULE_CONF") or "/etc/swupdate/dect-module.conf",
  defaults = { CORDIX = "cordix", CONTROLLER = "1", TIMEOUT = "30" },
}

local function log(text) swupdate.info("dect-module: " .. text) end
local function fail(text) swupdate.error("dect-module: " .. text) return 1 end

-- One word for /bin/sh, whatever it holds.
local function quote(s) return "'" .. (s:gsub("'", "'\\''")) .. "'" end

-- The defaults, overridden by NAME=value lines of the settings file.
function M.settings()
  local s = {}
  for k, v in pairs(M.defaults) do s[k] = v end
  local f = io.open(M.config, "r")
  if not f then return s end
  for line in f:lines() do
    local k, v = line:match("^%s*([%w_]+)%s*=%s*(.-)%s*$")
    if k and s[k] then s[k] = v:match('^"([^"]*)"') or v:match("^'([^']*)'") or v:match("^[^%s#]*") end
  end
  f:close()
  return s
end

-- Runs cordix with ARGS, each line of its output into the log. Returns its
-- exit status (nil when a signal ended it) and the version it reported.
function M.cordix(s, args)
  local cmd = ("%s -c %s -t %s %s"):format(quote(s.CORDIX), quote(s.CONTROLLER), quote(s.TIMEOUT), args)
  log("running " .. cmd)
  local p = io.popen(cmd .. " </dev/null 2>&1", "r")
  local version
  for line in p:lines() do
    swupdate.info("cordix: " .. line)
    version = line:match("^version ind empfangen%((%x%x%.%x%x%.%x%x)%)$") or version
  end
  local _, how, status = p:close()
  if how ~= "exit" then status = nil end
  return status, version and version:lower()
end

-- Asks the module for the version it runs now and logs it: as an error after
-- a failed update, so that it shows also without -v.
function M.report(s, failed)
  local _, now = M.cordix(s, "-g")
  local text = "the module runs version " .. (now or "(unknown: no version reported)")
  if failed then fail(text .. " now") else log(text) end
  return now
end

-- Writes the image to a file of its own; SWUpdate checks its hash on the way.
function M.copy(image)
  local dir = (swupdate.tmpdir and swupdate.tmpdir() or os.getenv("TMPDIR") or "/tmp"):gsub("/*$", "/")
  local file = dir .. "dect_module.bin"
  local err, msg = image:copy2file(file)
  if err ~= 0 then
    os.remove(file)
    return nil, msg
  end
  return file
end

function M.install(image)
  local want = (image.version or ""):lower()
  if not want:match("^%x%x%.%x%x%.%x%x$") then
    return fail(("%s declares version '%s', not one like 12.34.56"):format(image.filename, image.version or ""))
  end
  local s = M.settings()
  local file, msg = M.copy(image)
  if not file then return fail("cannot write the image: " .. tostring(msg)) end
  log(("streaming %s (version %s, %d bytes)"):format(image.filename, want, image.size or 0))
  local status = M.cordix(s, "-f " .. quote(file))
  os.remove(file)
  if status ~= 0 then
    fail(("cordix ended with status %s: the update did not complete"):format(status or "(killed by a signal)"))
    M.report(s, true)
    return 1
  end
  local now = M.report(s)
  if now ~= want then
    return fail(("the module reports version %s, not %s: the update failed"):format(now or "(none)", want))
  end
  return 0
end

swupdate.register_handler("dect-module", M.install, swupdate.HANDLER_MASK.IMAGE_HANDLER)
return M
