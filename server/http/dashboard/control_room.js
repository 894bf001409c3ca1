// The control room on the dashboard page: finds a ticket by number or holder's name, shows its
// story, and asks before each supervisor action (annul an entry, cancel, restore the ticket).
'use strict';

(() => {
  const el = (id) => document.getElementById(id);
  const pad = (n) => String(n).padStart(2, '0');
  const ACTIONS = {
    annul: { label: '입장 무효 처리', ask: (t, line) => `${t.custName} (${t.ticketNo})의 ${when(line.at)} 입장을 무효 처리할까요? 티켓은 다시 입장 전 상태가 됩니다.` },
    cancel: { label: '티켓 취소', ask: (t) => `${t.custName} (${t.ticketNo}) 티켓을 취소할까요? 다음 검표부터 거부됩니다.` },
    restore: { label: '티켓 복구', ask: (t) => `${t.custName} (${t.ticketNo}) 티켓을 다시 유효하게 할까요?` },
  };
  const KINDS = { check: '검표', control: '관제실', login: '로그인', place: '장소 로그인' };
  const MODES = { I: '입장', O: '퇴장' };

  const view = { bizCode: '', ticketNo: '', story: null, pending: null };

  function when(ms) {
    if (ms === null || ms === undefined) return '-';
    const t = new Date(ms);
    return `${pad(t.getMonth() + 1)}-${pad(t.getDate())} ${pad(t.getHours())}:${pad(t.getMinutes())}:${pad(t.getSeconds())}`;
  }

  function cell(text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className) td.className = className;
    return td;
  }

  function say(text) { el('lookup-message').textContent = text || ''; }

  // The event the board shows: the page's event choice.
  function shownEvent() { return el('event').value; }

  async function call(path, options) {
    let res;
    try {
      res = await fetch(path, Object.assign({ credentials: 'same-origin', cache: 'no-store' }, options || {}));
    } catch (e) {
      return { status: 0, body: { error: '서버에 연결할 수 없습니다' } };
    }
    const body = await res.json().catch(() => ({}));
    if (res.status === 401) body.error = '관리자 로그인이 필요합니다';
    return { status: res.status, body };
  }

  const ticketPath = (bizCode, ticketNo) =>
    '/api/v1/tickets/' + encodeURIComponent(bizCode) + '/' + encodeURIComponent(ticketNo);

  async function search(event) {
    event.preventDefault();
    const q = el('lookup-q').value.trim();
    const bizCode = shownEvent();
    if (!q || !bizCode) return say(bizCode ? '티켓 번호나 이름을 입력하세요' : '공연을 먼저 선택하세요');
    say('');
    const { status, body } = await call('/api/v1/tickets?bizcode=' + encodeURIComponent(bizCode) + '&q=' + encodeURIComponent(q));
    if (status !== 200) return say(body.error || `서버 오류 (${status})`);
    renderResults(bizCode, body.tickets, body.limit);
  }

  function renderResults(bizCode, tickets, limit) {
    el('lookup-results').hidden = tickets.length === 0;
    el('lookup-results').querySelector('tbody').replaceChildren(...tickets.map((t) => {
      const tr = document.createElement('tr');
      tr.dataset.ticket = t.ticketNo;
      tr.tabIndex = 0;
      tr.append(cell(t.ticketNo), cell(t.custName), cell(t.block), cell(t.seatInfo), cell(stateText(t)));
      tr.addEventListener('click', () => open(bizCode, t.ticketNo));
      tr.addEventListener('keydown', (e) => { if (e.key === 'Enter') open(bizCode, t.ticketNo); });
      return tr;
    }));
    say(tickets.length === 0 ? '찾는 티켓이 없습니다' : tickets.length >= limit ? `처음 ${limit}건만 보입니다` : '');
  }

  function stateText(t) {
    if (t.cancelled) return '취소됨';
    if (t.inside) return '입장 중';
    return t.entryCount > 0 ? '퇴장' : '미입장';
  }

  async function open(bizCode, ticketNo) {
    const { status, body } = await call(ticketPath(bizCode, ticketNo));
    if (status !== 200) return say(body.error || `서버 오류 (${status})`);
    view.bizCode = bizCode;
    view.ticketNo = ticketNo;
    renderStory(body);
  }

  function renderStory(story) {
    view.story = story;
    const t = story.ticket;
    el('ticket-view').hidden = false;
    el('ticket-title').textContent = `${t.custName} · ${t.ticketNo}`;
    const state = el('ticket-state');
    state.dataset.inside = t.inside ? 'true' : 'false';
    state.dataset.entries = t.entryCount;
    state.textContent = `${stateText(t)} · 입장 ${t.entryCount}회 · 첫 입장 ${when(t.firstEntry)} · ` +
      `마지막 입장 ${when(t.lastEntry)} · 마지막 퇴장 ${when(t.lastExit)}`;
    el('ticket-seat').textContent = `${t.block} · ${t.seatGradeName} · ${t.seatInfo} · ${t.goodsName}`;
    el('ticket-cancel').hidden = t.cancelled;
    el('ticket-restore').hidden = !t.cancelled;
    el('ticket-lines').querySelector('tbody').replaceChildren(...story.lines.map((l) => {
      const tr = document.createElement('tr');
      tr.dataset.line = l.id;
      tr.dataset.outcome = l.outcome;
      if (l.annulledBy !== null) tr.className = 'annulled';
      const result = l.message + (l.annulledBy !== null ? ' (무효 처리됨)' : '');
      // A decision a gate made offline: its time is the gate's own, handed over later.
      if (l.offline) tr.dataset.offline = 'true';
      const kind = (KINDS[l.kind] || l.kind) + (l.offline ? ' (오프라인)' : '');
      tr.append(cell(when(l.at)), cell(kind), cell(l.gate || '-'), cell(l.operator),
        cell(MODES[l.mode] || l.mode || '-'), cell(result));
      const actions = document.createElement('td');
      if (story.annullable === l.id) {
        const button = document.createElement('button');
        button.type = 'button';
        button.className = 'annul';
        button.textContent = ACTIONS.annul.label;
        button.addEventListener('click', () => ask('annul', l));
        actions.append(button);
      }
      tr.append(actions);
      return tr;
    }));
    el('ticket-annul-note').textContent = `입장 무효 처리는 마지막 입장에만, ${story.annulMinutes}분 안에 할 수 있습니다.`;
  }

  // Every action waits for a second, explicit yes on the page.
  function ask(action, line) {
    view.pending = { action, line: line ? line.id : null };
    el('confirm-text').textContent = ACTIONS[action].ask(view.story.ticket, line);
    el('confirm-yes').textContent = ACTIONS[action].label;
    el('confirm-yes').disabled = false;
    el('confirm-box').hidden = false;
    el('confirm-no').focus();
  }

  function closeConfirm() {
    view.pending = null;
    el('confirm-box').hidden = true;
  }

  async function act() {
    const pending = view.pending;
    if (!pending) return;
    el('confirm-yes').disabled = true;
    const options = { method: 'POST', headers: { 'Content-Type': 'application/json' } };
    if (pending.action === 'annul') options.body = JSON.stringify({ line: pending.line });
    const { status, body } = await call(ticketPath(view.bizCode, view.ticketNo) + '/' + pending.action, options);
    closeConfirm();
    if (status === 200) {
      renderStory(body);
      const listed = el('lookup-results').querySelector(`tr[data-ticket="${CSS.escape(view.ticketNo)}"]`);
      if (listed) listed.lastElementChild.textContent = stateText(body.ticket);
      say(body.changed === false ? '이미 그 상태입니다' : ACTIONS[pending.action].label + ' 완료');
    } else {
      say(body.error || `서버 오류 (${status})`);
      if (status === 409) open(view.bizCode, view.ticketNo);
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    el('lookup-form').addEventListener('submit', search);
    el('ticket-cancel').addEventListener('click', () => ask('cancel'));
    el('ticket-restore').addEventListener('click', () => ask('restore'));
    el('ticket-close').addEventListener('click', () => { el('ticket-view').hidden = true; });
    el('confirm-yes').addEventListener('click', act);
    el('confirm-no').addEventListener('click', closeConfirm);
  });
})();
