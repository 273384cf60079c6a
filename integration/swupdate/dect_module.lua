-- SPDX-License-Identifier: MIT
-- SWUpdate handler for images of type "dect-module". The image is copied
-- into a folder made for this install alone (SWUpdate checks its hash on the
-- way); dect-update then asks the module for its version, streams the
-- checked copy with cordix unless the module already runs the declared
-- version, and checks the version afterwards. Its lines go to SWUpdate's
-- log, its "sent N%" lines to the progress interface as well.
-- Loaded by one line in a device's swupdate_handlers.lua:
--   require("cordix.dect_module")
local swupdate = require("swupdate")

local M = {
  helper = "/usr/lib/cordix/dect-update",
  -- dect-update reads it as data; DECT_MODULE_CONF names another file.
  settings = "/etc/swupdate/dect-module.conf",
}

-- Texts are logged as data, never used as a format.
local function info(text) swupdate.info("%s", text) end
local function fail(text) swupdate.error("%s", "dect-module: error: " .. text) return 1 end

-- One word for /bin/sh, whatever it holds.
local function quote(s) return "'" .. (s:gsub("'", "'\\''")) .. "'" end

-- A new folder under SWUpdate's temporary folder that only we can enter
-- (mkdtemp: a name nobody can guess or plant beforehand, mode 0700).
function M.private_dir()
  local base = (swupdate.tmpdir() or "/tmp"):gsub("/*$", "")
  local p = io.popen("mktemp -d " .. quote(base .. "/dect-module.XXXXXX") .. " 2>&1", "r")
  local out = p:read("a"):gsub("\n$", "")
  if not p:close() then return nil, out end
  return out
end

-- dect-update streams FILE; its errors are SWUpdate errors, its other lines
-- info. The progress bar, full after SWUpdate's copy, starts again at 0 when
-- the streaming starts and follows its "sent N%" lines. 0 when the module
-- runs VERSION.
function M.update(file, version)
  local p = io.popen(("%s -s %s install %s %s 2>&1"):format(quote(M.helper),
    quote(M.settings), quote(file), quote(version)), "r")
  for line in p:lines() do
    if line:match("^dect%-module: error: ") then swupdate.error("%s", line) else info(line) end
    local n = line:match("^dect%-module: sent (%d+)%% ") or line:match("^dect%-module: streaming ") and 0
    if n then swupdate.progress_update(tonumber(n)) end
  end
  local ok, how, code = p:close()
  if ok then return 0 end
  -- 1: not installed, 3: nothing sent; either way its error is logged.
  if how ~= "exit" or (code ~= 1 and code ~= 3) then fail(("%s ended with %s %s"):format(M.helper, how, code)) end
  return 1
end

function M.install(image)
  local name = tostring(image.filename)
  local dir, err = M.private_dir()
  if not dir then return fail("no folder for " .. name .. ": " .. err) end
  local file = dir .. "/image"
  info("dect-module: copying " .. name .. " (SWUpdate checks its hash)")
  local rc, msg = image:copy2file(file)
  local ok, status = true, 1
  if rc ~= 0 then
    -- A wrong hash leaves errno alone ("Success"): SWUpdate's line above says it.
    if msg == "Success" then msg = "SWUpdate's error above" end
    fail(("cannot copy %s (%s): nothing streamed"):format(name, tostring(msg)))
  else
    ok, status = pcall(M.update, file, tostring(image.version or ""))
    if not ok then fail(tostring(status)) end
  end
  os.remove(file)
  os.remove(dir)
  return ok and status or 1
end

swupdate.register_handler("dect-module", M.install, swupdate.HANDLER_MASK.IMAGE_HANDLER)
return M
