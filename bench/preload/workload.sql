-- A table of 150000 rows built, indexed, grouped, joined, updated and partly deleted.
create table t(id integer primary key, name text, v real, note text);
with recursive c(x) as (select 1 union all select x + 1 from c where x < 150000)
  insert into t select x, 'name' || (x % 997), x * 0.5, printf('%08d-%s', x, hex(x * 31)) from c;
create index ti on t(name);
create table g as select name, count(*) as n, sum(v) as s from t group by name;
select count(*), sum(n), round(sum(s)) from g;
select count(*) from t join g using (name) where t.v > g.s / g.n;
update t set note = upper(note) || name where id % 3 = 0;
delete from t where id % 5 = 0;
select count(*), sum(length(note)) from t;
select name, group_concat(id) from (select * from t order by note desc limit 2000) group by name order by name limit 3;
