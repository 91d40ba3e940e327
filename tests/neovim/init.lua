-- Neovim's own LSP client against `zo lsp`: attaches to every .zo buffer,
-- waits for the first diagnostics (20 s at most), writes them as JSON to
-- $ZO_NVIM_OUT and quits. $ZO_NVIM_CMD is the server's command, as JSON.
local out = os.getenv("ZO_NVIM_OUT")
local cmd = vim.fn.json_decode(os.getenv("ZO_NVIM_CMD"))
local client_id

vim.api.nvim_create_autocmd("BufReadPost", {
  pattern = "*.zo",
  callback = function(args)
    client_id = client_id or vim.lsp.start_client({ name = "zo", cmd = cmd, root_dir = vim.fn.getcwd() })
    vim.lsp.buf_attach_client(args.buf, client_id)
  end,
})

local started = vim.loop.now()
local timer = vim.loop.new_timer()
timer:start(100, 100, vim.schedule_wrap(function()
  local found = vim.diagnostic.get()
  if #found == 0 and vim.loop.now() - started < 20000 then
    return
  end
  timer:stop()
  local rows = {}
  for _, d in ipairs(found) do
    table.insert(rows, { lnum = d.lnum, col = d.col, end_col = d.end_col, message = d.message, source = d.source })
  end
  local file = io.open(out, "w")
  file:write(vim.fn.json_encode(rows))
  file:close()
  vim.cmd("qa!")
end))
